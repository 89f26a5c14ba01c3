# The check-out programs, run on the simulated controller. Every program is
# built by checkout/; this runner starts each one under kestrix-sim and checks
# its output.
if(TARGET kestrix-sim AND NOT CMAKE_CROSSCOMPILING)
  add_executable(checkout_programs ${CMAKE_CURRENT_SOURCE_DIR}/checkout_programs.cpp)
  target_link_libraries(checkout_programs PRIVATE GTest::gtest_main)
  target_compile_definitions(checkout_programs PRIVATE
    KESTRIX_SIM_PATH="$<TARGET_FILE:kestrix-sim>"
    KESTRIX_CHECKOUT_DIR="$<TARGET_FILE_DIR:pid_gains_check>")
  add_dependencies(checkout_programs kestrix-sim ${KESTRIX_CHECKOUT_PROGRAMS})
  gtest_discover_tests(checkout_programs DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endif()
