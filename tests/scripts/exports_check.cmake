# cmake -DLIBRARY=<libkestrix.so> -DSONAME=<expected> -P exports_check.cmake
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
foreach(required magneto_x accel_x gyro_z msleep systime seconds beep power_level battery_charging)
  if(NOT symbols MATCHES "[ \n]T ${required}\n")
    message(FATAL_ERROR "${required} is not exported")
  endif()
endforeach()
# Nothing private, and nothing that exists for tests or the simulator: the
# test hooks (every one, gone or remaining, listed in
# include/private/test_hooks_p.h), the fakes and the simulator's names.
set(internal "7Private|kxsim|[Ff]ake|[Ss]imulat|_sim|Sim[A-Z0-9]|[Hh]ook"
  "setSysfsRoot|sysfsRoot|setPressed|setDevicePath|devicePath|last_frame|lastFrame"
  "setPorts|setDisconnectObserver|setConfigDirectory")
list(JOIN internal "|" internal)
if(symbols MATCHES "${internal}")
  string(REGEX MATCHALL "[^\n]*(${internal})[^\n]*" leaked "${symbols}")
  message(FATAL_ERROR "internal symbols exported: ${leaked}")
endif()
execute_process(COMMAND objdump -p ${LIBRARY} OUTPUT_VARIABLE headers)
if(NOT headers MATCHES "SONAME +${SONAME}\n")
  message(FATAL_ERROR "SONAME is not ${SONAME}")
endif()
