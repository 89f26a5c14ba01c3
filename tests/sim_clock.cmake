# The simulated clock seen from programs run under kestrix-sim: a C probe of
# every way to sleep and wait, a C++ program timing itself with the standard
# library, and the two-thread example.
if(TARGET test_sim_clock)
  find_package(Threads REQUIRED)
  add_executable(sim_clock_probe ${CMAKE_CURRENT_SOURCE_DIR}/sim_clock_probe.c)
  target_link_libraries(sim_clock_probe PRIVATE Threads::Threads)
  add_executable(sim_steady_clock ${CMAKE_CURRENT_SOURCE_DIR}/sim_steady_clock.cpp)
  target_link_libraries(sim_steady_clock PRIVATE Threads::Threads)
  add_dependencies(test_sim_clock kestrix-sim kestrix-sim-preload sim_clock_probe sim_steady_clock two_threads)
  target_compile_definitions(test_sim_clock PRIVATE
    KESTRIX_SIM_LAUNCHER="$<TARGET_FILE:kestrix-sim>"
    KESTRIX_CLOCK_PROBE="$<TARGET_FILE:sim_clock_probe>"
    KESTRIX_STEADY_CLOCK="$<TARGET_FILE:sim_steady_clock>"
    KESTRIX_TWO_THREADS="$<TARGET_FILE:two_threads>")
endif()
