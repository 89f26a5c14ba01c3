# Buttons, waits, threads and utilities from a strict C99 program linked
# against the shared library, with the fakes linked in front of it.
add_executable(runtime_c_interface ${CMAKE_CURRENT_SOURCE_DIR}/runtime_c_interface.c)
set_target_properties(runtime_c_interface PROPERTIES
  C_STANDARD 99
  C_EXTENSIONS OFF
  LINKER_LANGUAGE CXX)
target_compile_options(runtime_c_interface PRIVATE -pedantic-errors -Werror)
target_link_libraries(runtime_c_interface PRIVATE kestrix kestrix_fake)
add_test(NAME RuntimeCInterface.WorksFromAC99ProgramThroughTheSharedLibrary COMMAND runtime_c_interface)
set_tests_properties(RuntimeCInterface.WorksFromAC99ProgramThroughTheSharedLibrary PROPERTIES
  TIMEOUT 60
  PASS_REGULAR_EXPRESSION "^Warning: c99 not yet implemented\\.\nIr::read\\(\\) is no longer supported\nIr::write\\(\\) is no longer supported\n$")
