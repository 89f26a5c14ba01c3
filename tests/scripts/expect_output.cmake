# cmake -DPROGRAM=<program> -DEXPECTED=<file> [-DEMULATOR=<command|arguments>] -P expect_output.cmake
# Runs PROGRAM (through EMULATOR, "|"-separated, in a cross build) and fails
# unless it exits with status 0 having printed exactly the text of EXPECTED,
# standard output and standard error together. A pass on the output alone
# would hide a program that printed the right lines and then failed.
string(REPLACE "|" ";" EMULATOR "${EMULATOR}")
execute_process(COMMAND ${EMULATOR} ${PROGRAM}
  OUTPUT_VARIABLE said ERROR_VARIABLE said RESULT_VARIABLE status)
file(READ ${EXPECTED} expected)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "${PROGRAM} ended with ${status}, having printed:\n${said}")
endif()
if(NOT said STREQUAL expected)
  message(FATAL_ERROR "${PROGRAM} printed:\n${said}\ninstead of:\n${expected}")
endif()
