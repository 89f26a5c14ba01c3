# Programs run under the simulated controller: test_sim_launcher starts
# kestrix-sim on the check-out programs and checks what they print, the trace
# and the summary.
if(TARGET test_sim_launcher)
  add_dependencies(test_sim_launcher kestrix-sim kestrix-sim-preload)
  target_compile_definitions(test_sim_launcher PRIVATE
    KESTRIX_SIM_LAUNCHER="$<TARGET_FILE:kestrix-sim>"
    KESTRIX_CHECKOUT_DIR="${PROJECT_BINARY_DIR}/checkout")
  add_executable(sim_busy_loop ${CMAKE_CURRENT_SOURCE_DIR}/sim_busy_loop.c)
  add_dependencies(test_sim_launcher sim_busy_loop)
  target_compile_definitions(test_sim_launcher PRIVATE KESTRIX_BUSY_LOOP="$<TARGET_FILE:sim_busy_loop>")
  set(built " ")
  foreach(program goal_position_check pwm_check servo_sweep_check side_button_check
          analog_check inertial_check battery_check)
    if(TARGET ${program})
      add_dependencies(test_sim_launcher ${program})
      string(APPEND built "${program} ")
    endif()
  endforeach()
  target_compile_definitions(test_sim_launcher PRIVATE KESTRIX_BUILT_PROGRAMS="${built}")
endif()

# The model, the script parser and the simulation are tested directly.
if(TARGET test_sim_model)
  target_link_libraries(test_sim_model PRIVATE kestrix_sim_core)
endif()
