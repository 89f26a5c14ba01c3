# Run by cpack after it wrote the packages (CPACK_POST_BUILD_SCRIPTS): adds
# what CPack's DEB generator cannot say itself.
#  - Multi-Arch: same for the library packages, so that amd64 and armhf
#    install side by side;
#  - for the shared library, the shlibs file and an ldconfig trigger instead
#    of the maintainer scripts that call ldconfig directly.
find_program(DPKG_DEB dpkg-deb REQUIRED)

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${deb} NAME)
  string(REGEX REPLACE "_.*" "" package "${name}")
  set(multiarch OFF)
  set(library OFF)
  if(package IN_LIST CPACK_KESTRIX_MULTIARCH_SAME)
    set(multiarch ON)
  endif()
  if(package STREQUAL CPACK_KESTRIX_LIBRARY_PACKAGE)
    set(library ON)
  endif()
  if(NOT multiarch AND NOT library)
    continue()
  endif()

  set(tree ${CPACK_TOPLEVEL_DIRECTORY}/finish/${package})
  file(REMOVE_RECURSE ${tree})
  file(MAKE_DIRECTORY ${CPACK_TOPLEVEL_DIRECTORY}/finish)
  execute_process(COMMAND ${DPKG_DEB} -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  if(multiarch AND NOT control MATCHES "\nMulti-Arch:")
    string(REGEX REPLACE "\n(Priority:)" "\nMulti-Arch: same\n\\1" control "${control}")
  endif()
  file(WRITE ${tree}/DEBIAN/control "${control}")
  if(library)
    file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
    file(WRITE ${tree}/DEBIAN/shlibs "${CPACK_KESTRIX_SHLIBS}\n")
    file(WRITE ${tree}/DEBIAN/triggers "activate-noawait ldconfig\n")
    file(CHMOD ${tree}/DEBIAN/shlibs ${tree}/DEBIAN/triggers
      PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zxz -b ${tree} ${deb}
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE ${tree})
endforeach()
