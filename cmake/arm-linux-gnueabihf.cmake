# Cross build for the controller board: 32-bit ARM, hard-float ABI, with
# Debian's crossbuild-essential-armhf. Programs built here (tests, GoogleTest's
# discovery runs) run on the build machine through user-mode emulation.
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake

set(CMAKE_SYSTEM_NAME Linux)
# Absolute, for builds of outside projects against this one (the install
# check) whatever path the build was configured with.
set(KESTRIX_TOOLCHAIN_FILE ${CMAKE_CURRENT_LIST_FILE})
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KESTRIX_TARGET_TRIPLE arm-linux-gnueabihf)
set(KESTRIX_TARGET_SYSROOT /usr/${KESTRIX_TARGET_TRIPLE})
set(KESTRIX_TARGET_ELF_MACHINE 40) # EM_ARM

set(CMAKE_C_COMPILER   ${KESTRIX_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KESTRIX_TARGET_TRIPLE}-g++)

# Libraries and headers of the target come from the cross toolchain's own
# directories, programs (pkg-config, the emulator) from the build machine.
# Appended, so that a build can name more root directories (a staging
# prefix) with -DCMAKE_FIND_ROOT_PATH=...
list(APPEND CMAKE_FIND_ROOT_PATH ${KESTRIX_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and gtest_discover_tests start every target program through this.
# With Debian's packages of the board's architecture installed (the
# simulator's libbox2d-dev:armhf brings their C library), programs run from
# that set as a whole, its loader with its own C library: the cross
# toolchain's loader would meet the other C library through the system's
# library cache. Without them, from the cross toolchain's root.
if(EXISTS /lib/ld-linux-armhf.so.3 AND EXISTS /usr/lib/${KESTRIX_TARGET_TRIPLE}/libc.so.6)
  set(KESTRIX_TARGET_RUNTIME_ROOT /)
else()
  set(KESTRIX_TARGET_RUNTIME_ROOT ${KESTRIX_TARGET_SYSROOT})
endif()
find_program(KESTRIX_QEMU_ARM qemu-arm)
if(KESTRIX_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRIX_QEMU_ARM} -L ${KESTRIX_TARGET_RUNTIME_ROOT})
else()
  message(WARNING "qemu-arm not found (Debian: qemu-user): "
    "the tests of this build cannot run here")
endif()

# GCC notes on every std::pair/struct of doubles passed by value that its
# ABI for such arguments changed in GCC 7.1: it concerns code mixing objects
# of GCC 6 and earlier, which this build never links.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
