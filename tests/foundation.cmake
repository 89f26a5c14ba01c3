# The public headers compile as strict C99.
add_library(kestrix_headers_c99 OBJECT ${CMAKE_CURRENT_SOURCE_DIR}/headers_c99.c)
set_target_properties(kestrix_headers_c99 PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(kestrix_headers_c99 PRIVATE -pedantic-errors -Werror)
target_include_directories(kestrix_headers_c99 PRIVATE ${PROJECT_SOURCE_DIR}/include)

# The shared library carries its SONAME and exports neither the Private
# classes nor anything of the fake coprocessor.
add_test(NAME SharedLibrary.ExportsOnlyThePublicInterface
  COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:kestrix>
          -DSONAME=libkestrix.so.${PROJECT_VERSION_MAJOR}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/scripts/exports_check.cmake)
