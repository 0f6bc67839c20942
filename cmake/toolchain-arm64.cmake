# 64-bit ARM (Raspberry Pi 3 and later with a 64-bit system).
set(triplet aarch64-linux-gnu)
set(processor aarch64)
set(deb_arch arm64)
set(qemu aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-linux-cross.cmake)
