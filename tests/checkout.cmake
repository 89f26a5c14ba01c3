# The check-out programs, run on the simulated controller. Every program is
# built by checkout/; this runner starts each one under kestrix-sim and checks
# its output.
if(TARGET kestrix-sim AND NOT CMAKE_CROSSCOMPILING)
  add_executable(checkout_programs ${CMAKE_CURRENT_SOURCE_DIR}/checkout_programs.cpp)
  target_link_libraries(checkout_programs PRIVATE GTest::gtest_main)
  target_compile_options(checkout_programs PRIVATE ${KESTRIX_TEST_CODE_OPTIONS})
  target_compile_definitions(checkout_programs PRIVATE
    KESTRIX_SIM_PATH="$<TARGET_FILE:kestrix-sim>"
    KESTRIX_CHECKOUT_DIR="$<TARGET_FILE_DIR:pid_gains_check>")
  add_dependencies(checkout_programs kestrix-sim ${KESTRIX_CHECKOUT_PROGRAMS})
  if(KESTRIX_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 sees uninitialised members inside <regex> only when sanitizing.
    target_compile_options(checkout_programs PRIVATE -Wno-maybe-uninitialized)
  endif()
  gtest_discover_tests(checkout_programs DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endif()

# The register traffic of servo_sweep_check, counted exchange by exchange: its
# source is built in with main renamed and run against the fake coprocessor.
set(KESTRIX_SWEEP_SOURCE ${PROJECT_SOURCE_DIR}/checkout/servo_sweep_check.c)
add_executable(checkout_traffic ${CMAKE_CURRENT_SOURCE_DIR}/checkout_traffic.cpp ${KESTRIX_SWEEP_SOURCE})
set_source_files_properties(${KESTRIX_SWEEP_SOURCE} PROPERTIES COMPILE_DEFINITIONS main=servo_sweep_check_main)
target_include_directories(checkout_traffic PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(checkout_traffic PRIVATE kestrix_static kestrix_fake GTest::gtest_main)
gtest_discover_tests(checkout_traffic DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
