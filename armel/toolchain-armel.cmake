# Cross-build for the controller: 32-bit ARM, ARMv5TE, EABI5 with floating point in software
# (Debian's "armel" port, compiler arm-linux-gnueabi-g++ from crossbuild-essential-armel).
#
# The target's C library and C++ runtime come with the cross compiler (/usr/arm-linux-gnueabi).
# JsonCpp and GoogleTest for the target come from Debian's armel packages, unpacked into a sysroot
# folder (ONDRELL_ARMEL_SYSROOT, prepared by scripts/armel.sh); Boost and CLI11 are used
# header-only and their host headers are linked into that sysroot.
#
# Test programs run under qemu-arm: -L makes the emulated loader find the target's libc, and
# LD_LIBRARY_PATH (set for the guest only, -E) finds the sysroot's libjsoncpp.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ONDRELL_ARMEL_TRIPLET arm-linux-gnueabi)
set(ONDRELL_ARMEL_RUNTIME /usr/${ONDRELL_ARMEL_TRIPLET})
if(NOT ONDRELL_ARMEL_SYSROOT)
  set(ONDRELL_ARMEL_SYSROOT "$ENV{ONDRELL_ARMEL_SYSROOT}")
endif()
if(NOT ONDRELL_ARMEL_SYSROOT)
  message(FATAL_ERROR "ONDRELL_ARMEL_SYSROOT is not set: run scripts/armel.sh, or pass "
                      "-DONDRELL_ARMEL_SYSROOT=<folder with the unpacked armel packages>")
endif()
# try_compile projects re-read this file; hand them the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ONDRELL_ARMEL_SYSROOT)

set(CMAKE_C_COMPILER ${ONDRELL_ARMEL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ONDRELL_ARMEL_TRIPLET}-g++)
# The compiler's defaults already are -march=armv5te -mfloat-abi=soft; stating them makes the
# ABI part of the build rather than of whichever compiler package happens to be installed.
# -Wno-psabi: GCC notes every function whose argument passing changed in GCC 7.1 on ARM; it
# matters only when linking with objects from an older compiler, which never happens here.
set(CMAKE_C_FLAGS_INIT "-march=armv5te -mfloat-abi=soft -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mfloat-abi=soft -Wno-psabi")
find_program(CMAKE_STRIP ${ONDRELL_ARMEL_TRIPLET}-strip)
find_program(CMAKE_OBJCOPY ${ONDRELL_ARMEL_TRIPLET}-objcopy)
set(CMAKE_LIBRARY_ARCHITECTURE ${ONDRELL_ARMEL_TRIPLET})

# Headers, libraries and CMake packages only from the target side; programs (readelf, dpkg-deb)
# from the build machine.
set(CMAKE_FIND_ROOT_PATH ${ONDRELL_ARMEL_SYSROOT} ${ONDRELL_ARMEL_RUNTIME})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config answers for the target's .pc files, with their /usr paths moved into the sysroot.
set(ENV{PKG_CONFIG_LIBDIR}
    "${ONDRELL_ARMEL_SYSROOT}/usr/lib/${ONDRELL_ARMEL_TRIPLET}/pkgconfig:${ONDRELL_ARMEL_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${ONDRELL_ARMEL_SYSROOT}")
set(ENV{PKG_CONFIG_PATH} "")

find_program(ONDRELL_QEMU_ARM qemu-arm)
if(NOT ONDRELL_QEMU_ARM)
  message(FATAL_ERROR "qemu-arm not found (Debian package qemu-user)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${ONDRELL_QEMU_ARM} -L ${ONDRELL_ARMEL_RUNTIME}
    -E LD_LIBRARY_PATH=${ONDRELL_ARMEL_SYSROOT}/usr/lib/${ONDRELL_ARMEL_TRIPLET})
