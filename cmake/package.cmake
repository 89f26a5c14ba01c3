# One Debian package per architecture: `cpack --config CPackConfig.cmake` in a
# build directory (or `cmake --build <dir> --target package`) writes
# kestrix_<version>_<arch>.deb with everything `cmake --install` installs.

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
    "the package will be named for ${CMAKE_SYSTEM_PROCESSOR}")
  set(KESTRIX_DEB_ARCH ${CMAKE_SYSTEM_PROCESSOR})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Hardware library of the kestrix robot controller, its check-out programs and simulator")
set(CPACK_PACKAGE_CONTACT "libkestrix developers <kestrix@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${KESTRIX_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# dpkg-shlibdeps cannot see a cross target's C library (it is not a package of
# the target architecture here), so the run-time needs are named directly.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
# shlibs file and the ldconfig trigger for libkestrix.so.1.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/packages)

include(CPack)
