# What `cmake --install` puts where, in four components that become the four
# Debian packages (cmake/package.cmake):
#   runtime   the shared library with its SONAME link
#   dev       the public headers (include/private stays out), the unversioned
#             link, a pkg-config file and an exported CMake package
#             (find_package(kestrix) -> kestrix::kestrix)
#   tools     kestrix-sim, kestrix-run, the simulator's preload library and
#             the manual pages (sim/, tools/, doc/)
#   checkout  the check-out programs, in lib/kestrix/checkout: their names are
#             too generic for a folder in everybody's PATH
include(CMakePackageConfigHelpers)

set(KESTRIX_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kestrix)
set(KESTRIX_INSTALL_CHECKOUTDIR lib/kestrix/checkout)

# Installed programs find the library through a relative run path, so an
# installation works in any prefix without LD_LIBRARY_PATH.
function(kestrix_program_rpath target folder)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${folder}")
    set(rpath "${CMAKE_INSTALL_FULL_LIBDIR}")
  else()
    file(RELATIVE_PATH to_lib /prefix/${folder} /prefix/${CMAKE_INSTALL_LIBDIR})
    set(rpath "$ORIGIN/${to_lib}")
  endif()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${rpath}")
endfunction()

install(TARGETS kestrix EXPORT kestrixTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT dev)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kestrix/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrix COMPONENT dev
  FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")
install(FILES ${KESTRIX_GENERATED_INCLUDE_DIR}/kestrix/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrix COMPONENT dev)

foreach(program IN LISTS KESTRIX_CHECKOUT_PROGRAMS)
  kestrix_program_rpath(${program} ${KESTRIX_INSTALL_CHECKOUTDIR})
  install(TARGETS ${program} RUNTIME DESTINATION ${KESTRIX_INSTALL_CHECKOUTDIR} COMPONENT checkout)
endforeach()
kestrix_program_rpath(kestrix-run ${CMAKE_INSTALL_BINDIR})
install(TARGETS kestrix-run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

# CMake package.
install(EXPORT kestrixTargets
  NAMESPACE kestrix::
  DESTINATION ${KESTRIX_INSTALL_CMAKEDIR} COMPONENT dev)
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
  DESTINATION ${KESTRIX_INSTALL_CMAKEDIR} COMPONENT dev)

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
install(CODE "${_kestrix_pc_code}" COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/kestrix.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
