# 32-bit ARM with hardware floating point (Raspberry Pi OS's 32-bit system).
set(triplet arm-linux-gnueabihf)
set(processor armv7l)
set(deb_arch armhf)
set(qemu arm)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-cross.cmake)
