# Cross build for Linux on another architecture with Debian's cross
# compilers; `triplet`, `processor`, `deb_arch` and `qemu` come from the
# file that includes this one. The target's own libraries, hidapi among
# them, are its multiarch packages (libhidapi-dev:<deb_arch>).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${processor})
set(CMAKE_LIBRARY_ARCHITECTURE ${triplet})
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${triplet}/pkgconfig:/usr/share/pkgconfig)
# The package is for the target.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
# Its programs run under qemu's user-mode emulation, with the target's C
# library from the cross compiler's folder; no binfmt handler is needed.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${qemu} -L /usr/${triplet})
