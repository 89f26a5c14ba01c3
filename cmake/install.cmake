# What `cmake --install` puts where: the shared library with its SONAME links,
# the public headers (include/private stays out), the check-out programs, a
# pkg-config file and an exported CMake package (find_package(kestrix) ->
# kestrix::kestrix). sim/ installs the simulator and its preload library.
include(CMakePackageConfigHelpers)

set(KESTRIX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kestrix)

# Installed programs find the library beside them through a relative run path,
# so an installation works in any prefix without LD_LIBRARY_PATH.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set(KESTRIX_PROGRAM_RPATH "${CMAKE_INSTALL_FULL_LIBDIR}")
else()
  file(RELATIVE_PATH _kestrix_bin_to_lib
    /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
  set(KESTRIX_PROGRAM_RPATH "$ORIGIN/${_kestrix_bin_to_lib}")
endif()

install(TARGETS kestrix EXPORT kestrixTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kestrix/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrix
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
install(FILES ${KESTRIX_GENERATED_INCLUDE_DIR}/kestrix/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrix)

foreach(program IN LISTS KESTRIX_CHECKOUT_PROGRAMS)
  set_target_properties(${program} PROPERTIES INSTALL_RPATH "${KESTRIX_PROGRAM_RPATH}")
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# CMake package.
install(EXPORT kestrixTargets
  NAMESPACE kestrix::
  DESTINATION ${KESTRIX_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/kestrixConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kestrixConfig.cmake
  INSTALL_DESTINATION ${KESTRIX_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/kestrixConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/kestrixConfig.cmake
  ${PROJECT_BINARY_DIR}/kestrixConfigVersion.cmake
  DESTINATION ${KESTRIX_INSTALL_CMAKEDIR})

# pkg-config file, written at install time so that its paths name the prefix
# actually installed to (cmake --install --prefix, or /usr inside the package).
set(_kestrix_pc_code [[
  set(KESTRIX_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(KESTRIX_PC_LIBDIR "@CMAKE_INSTALL_LIBDIR@")
  set(KESTRIX_PC_INCLUDEDIR "@CMAKE_INSTALL_INCLUDEDIR@")
  foreach(dir KESTRIX_PC_LIBDIR KESTRIX_PC_INCLUDEDIR)
    if(NOT IS_ABSOLUTE "${${dir}}")
      set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
    endif()
  endforeach()
  set(KESTRIX_PC_VERSION "@PROJECT_VERSION@")
  configure_file("@PROJECT_SOURCE_DIR@/cmake/kestrix.pc.in" "@PROJECT_BINARY_DIR@/kestrix.pc" @ONLY)
]])
string(CONFIGURE "${_kestrix_pc_code}" _kestrix_pc_code @ONLY)
install(CODE "${_kestrix_pc_code}")
install(FILES ${PROJECT_BINARY_DIR}/kestrix.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
