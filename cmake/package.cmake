# Debian packages, one set per architecture: `cpack` in a build directory (or
# `cmake --build <dir> --target package`) writes into <dir>/packages
#   libkestrix1      the shared library (Multi-Arch: same)
#   libkestrix-dev   headers, unversioned link, kestrix.pc, CMake package
#   kestrix-tools    kestrix-sim, kestrix-run, the preload library, manual pages
#   kestrix-checkout the check-out programs, in /usr/lib/kestrix/checkout
# from the install components of cmake/install.cmake.

set(KESTRIX_MAINTAINER "libkestrix maintainers <maintainers@users.noreply.c-seed-296465ce.example>"
  CACHE STRING "Maintainer field of the Debian packages")

# The package architecture is that of the compiler's target, not of the
# machine running the build: amd64 for the desktop, armhf for the board.
execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpmachine
  OUTPUT_VARIABLE KESTRIX_TARGET_MACHINE
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(KESTRIX_TARGET_MACHINE MATCHES "^x86_64-.*-gnux32$")
  set(KESTRIX_DEB_ARCH x32)
elseif(KESTRIX_TARGET_MACHINE MATCHES "^x86_64-")
  set(KESTRIX_DEB_ARCH amd64)
elseif(KESTRIX_TARGET_MACHINE MATCHES "^i[3-6]86-")
  set(KESTRIX_DEB_ARCH i386)
elseif(KESTRIX_TARGET_MACHINE MATCHES "^aarch64-")
  set(KESTRIX_DEB_ARCH arm64)
elseif(KESTRIX_TARGET_MACHINE MATCHES "^arm.*-gnueabihf$")
  set(KESTRIX_DEB_ARCH armhf)
elseif(KESTRIX_TARGET_MACHINE MATCHES "^arm.*-gnueabi$")
  set(KESTRIX_DEB_ARCH armel)
else()
  message(WARNING "No Debian architecture known for ${KESTRIX_TARGET_MACHINE}; "
    "the packages will be named for ${CMAKE_SYSTEM_PROCESSOR}")
  set(KESTRIX_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
endif()

# Every package carries the copyright file and the changelog Debian asks for.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in ${PROJECT_BINARY_DIR}/debian/copyright @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
find_program(KESTRIX_GZIP gzip)
set(KESTRIX_DEB_PACKAGES runtime libkestrix1 dev libkestrix-dev tools kestrix-tools checkout kestrix-checkout)
if(KESTRIX_BUILD_PYTHON)
  list(APPEND KESTRIX_DEB_PACKAGES python python3-kestrix)
endif()
if(KESTRIX_GZIP)
  # -n: no name or time stamp, so the file is the same for every architecture
  # (Multi-Arch: same wants identical shared files).
  execute_process(COMMAND ${KESTRIX_GZIP} -9nc ${PROJECT_BINARY_DIR}/debian/changelog
    OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.gz)
  while(KESTRIX_DEB_PACKAGES)
    list(POP_FRONT KESTRIX_DEB_PACKAGES component package)
    # Only in component installs (the packages), not in `cmake --install`.
    install(FILES ${PROJECT_BINARY_DIR}/debian/copyright ${PROJECT_BINARY_DIR}/debian/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
      COMPONENT ${component} EXCLUDE_FROM_ALL)
  endwhile()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libkestrix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The libkestrix developers")
set(CPACK_PACKAGE_CONTACT "${KESTRIX_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools checkout)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KESTRIX_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkestrix1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "hardware library of the kestrix robot controller\n\
libkestrix drives the controller's coprocessor over its SPI link: four DC\n\
motors with position counters and a PID loop, four servos, sixteen digital\n\
pins, six analog inputs, an accelerometer, a gyroscope and a magnetometer,\n\
plus the buttons, battery, drone, camera and mobile base of the controller.\n\
It offers a flat C interface (C99 and C++) and a small C++ object layer.\n\
\n\
This package holds the shared library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkestrix-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "hardware library of the kestrix robot controller - development files\n\
libkestrix drives the controller's coprocessor over its SPI link: motors,\n\
servos, digital and analog ports and the inertial sensors.\n\
\n\
This package holds the headers, the link for the linker, the pkg-config file\n\
and the CMake package (find_package(kestrix) gives kestrix::kestrix).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kestrix-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
# kestrix-grade compiles C sources against the development files and spreads
# runs over machines with GNU parallel.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "libkestrix-dev, gcc, pkgconf, parallel")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "simulator and safe launcher for kestrix robot programs\n\
kestrix-sim runs an unmodified robot program, built against libkestrix, on a\n\
simulated controller: motors, servos, sensors, buttons and battery, with\n\
timed inputs from a script and a trace of what happened.\n\
\n\
kestrix-run runs a robot program and, however it ends (crash or kill\n\
included), stops the four motors and disables the servos.\n\
\n\
kestrix-grade scores a class's robot programs against a challenge, every\n\
program for several seeds, and writes JUnit XML, CSV and HTML reports.")

set(CPACK_DEBIAN_CHECKOUT_PACKAGE_NAME kestrix-checkout)
set(CPACK_DEBIAN_CHECKOUT_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_CHECKOUT_DEPENDS runtime)
set(CPACK_COMPONENT_CHECKOUT_DESCRIPTION
  "check-out programs for the kestrix robot controller\n\
Small programs that exercise one part of the controller each (motors,\n\
servos, digital and analog ports, sensors, buttons, battery) for a first\n\
test of a board, on the board itself or under kestrix-sim.\n\
\n\
They are installed in /usr/lib/kestrix/checkout, outside the PATH.")

if(KESTRIX_BUILD_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kestrix)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_COMPONENT_PYTHON_DEPENDS runtime)
  # The extension is built for one minor version of the distribution's Python.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
    "python3 (>= ${KESTRIX_PYTHON_VERSION}), python3 (<< ${KESTRIX_PYTHON_NEXT_VERSION})")
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION
    "hardware library of the kestrix robot controller - Python 3 module\n\
The module kestrix holds every function of libkestrix's C interface under\n\
its C name (motors, servos, digital and analog ports, sensors, buttons,\n\
battery, drone, camera, compass, graphics, mobile base), port objects such\n\
as kestrix.Servo(0).position, docstrings and type stubs.")
endif()

# Run-time dependencies with versions from dpkg-shlibdeps. It finds the C and
# C++ libraries of the target only through the package that owns them: on a
# desktop the cross toolchain's copies belong to libc6-armhf-cross and the
# like, not to libc6:armhf, so a cross build would name the wrong packages
# (or fail). There the dependencies are named directly, with the versions
# dpkg-shlibdeps gives for the same sources on amd64 (the symbols used are
# the same; the ARM C library is of the same release).
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
  set(_kestrix_cxx_deps "libc6 (>= 2.35), libgcc-s1 (>= 3.5), libstdc++6 (>= 12)")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${_kestrix_cxx_deps}")
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${_kestrix_cxx_deps}, python3:any, libjs-dygraphs")
  set(CPACK_DEBIAN_CHECKOUT_PACKAGE_DEPENDS "libc6 (>= 2.34)")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Our own library, found in the package being built.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/src)
  # Added to what dpkg-shlibdeps finds: kestrix-grade is a Python program
  # (of any architecture's python3), and the panel's charts read dygraphs.
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "python3:any, libjs-dygraphs")
endif()

# Multi-Arch, shlibs and the ldconfig trigger: cmake/debian/finish.cmake.
set(CPACK_KESTRIX_MULTIARCH_SAME libkestrix1 libkestrix-dev)
set(CPACK_KESTRIX_LIBRARY_PACKAGE libkestrix1)
set(CPACK_KESTRIX_SHLIBS "libkestrix ${PROJECT_VERSION_MAJOR} libkestrix1 (>= ${PROJECT_VERSION})")
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/finish.cmake)

include(CPack)
