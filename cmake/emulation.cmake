# A cross build runs its target programs (tests, GoogleTest's discovery, the
# install check) under user-mode emulation. The build machine's kernel cannot
# start a target program by itself, so a program that starts another one (a
# death test re-executing the test binary, kestrix-sim starting the robot
# program) would fail with "Exec format error". A small preload library for the
# target sends such an exec through the emulator; it is built here, at
# configure time, so that it exists before any program is first run.
if(NOT CMAKE_CROSSCOMPILING OR NOT KESTRIX_QEMU_ARM)
  return()
endif()

set(_kestrix_shim_source ${CMAKE_CURRENT_LIST_DIR}/emulation/exec_through_emulator.c)
set(_kestrix_shim ${PROJECT_BINARY_DIR}/emulation/libexec_through_emulator.so)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_kestrix_shim_source})
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/emulation)
execute_process(
  COMMAND ${CMAKE_C_COMPILER} -std=gnu99 -O2 -Wall -Wextra -Werror -shared -fPIC
    -DKESTRIX_EMULATOR="${KESTRIX_QEMU_ARM}"
    -DKESTRIX_EMULATOR_ROOT="${KESTRIX_TARGET_RUNTIME_ROOT}"
    -DKESTRIX_ELF_MACHINE=${KESTRIX_TARGET_ELF_MACHINE}
    ${_kestrix_shim_source} -o ${_kestrix_shim}.new -ldl
  RESULT_VARIABLE _kestrix_shim_rc
  ERROR_VARIABLE _kestrix_shim_err)
if(NOT _kestrix_shim_rc EQUAL 0)
  message(FATAL_ERROR "Cannot build the exec-through-emulator library:\n${_kestrix_shim_err}")
endif()
file(COPY_FILE ${_kestrix_shim}.new ${_kestrix_shim} ONLY_IF_DIFFERENT)
file(REMOVE ${_kestrix_shim}.new)

list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E LD_PRELOAD=${_kestrix_shim})
