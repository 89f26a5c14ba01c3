# Buttons, waits, threads and utilities from a strict C99 program linked
# against the shared library, with the fakes linked in front of it. It must
# both exit with status 0 and print the library's warnings, nothing else.
kestrix_add_c99(runtime_c_interface ${CMAKE_CURRENT_SOURCE_DIR}/runtime_c_interface.c)
string(REPLACE ";" "|" _kestrix_emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
add_test(NAME RuntimeCInterface.WorksFromAC99ProgramThroughTheSharedLibrary
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:runtime_c_interface>
          -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/runtime_c_interface.expected
          -DEMULATOR=${_kestrix_emulator}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/scripts/expect_output.cmake)
set_tests_properties(RuntimeCInterface.WorksFromAC99ProgramThroughTheSharedLibrary PROPERTIES TIMEOUT 60)
