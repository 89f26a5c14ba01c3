# The public headers compile as strict C99.
kestrix_add_c99(kestrix_headers_c99 ${CMAKE_CURRENT_SOURCE_DIR}/headers_c99.c HEADERS_ONLY)

# The shared library carries its SONAME and exports neither the Private
# classes nor anything of the fake coprocessor.
add_test(NAME SharedLibrary.ExportsOnlyThePublicInterface
  COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:kestrix>
          -DSONAME=libkestrix.so.${PROJECT_VERSION_MAJOR}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/scripts/exports_check.cmake)
