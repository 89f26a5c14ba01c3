# Buttons, waits, threads and utilities from a strict C99 program linked
# against the shared library, with the fakes linked in front of it.
kestrix_add_c99(runtime_c_interface ${CMAKE_CURRENT_SOURCE_DIR}/runtime_c_interface.c)
add_test(NAME RuntimeCInterface.WorksFromAC99ProgramThroughTheSharedLibrary COMMAND runtime_c_interface)
set_tests_properties(RuntimeCInterface.WorksFromAC99ProgramThroughTheSharedLibrary PROPERTIES
  TIMEOUT 60
  PASS_REGULAR_EXPRESSION "^Warning: c99 not yet implemented\\.\nIr::read\\(\\) is no longer supported\nIr::write\\(\\) is no longer supported\n$")
