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
  # Preloaded into the launcher: no allocation between its forks and exec.
  # A sanitizer's runtime owns the allocator, so that build goes without it.
  if(NOT KESTRIX_SANITIZE AND NOT KESTRIX_SANITIZE_THREAD)
    add_library(sim_fork_probe MODULE ${CMAKE_CURRENT_SOURCE_DIR}/sim_fork_probe.c)
    add_dependencies(test_sim_launcher sim_fork_probe)
    target_compile_definitions(test_sim_launcher PRIVATE KESTRIX_FORK_PROBE="$<TARGET_FILE:sim_fork_probe>")
  endif()
  set(built " ")
  foreach(program goal_position_check pwm_check servo_sweep_check side_button_check
          analog_check inertial_check battery_check)
    if(TARGET ${program})
      add_dependencies(test_sim_launcher ${program})
      string(APPEND built "${program} ")
    endif()
  endforeach()
  target_compile_definitions(test_sim_launcher PRIVATE KESTRIX_BUILT_PROGRAMS="${built}")

  # Programs the simulator cannot start in, each for its own reason: one
  # linked statically, one that cannot find libkestrix (no run path), and on a
  # desktop one built for the board.
  add_executable(sim_static_program ${CMAKE_CURRENT_SOURCE_DIR}/sim_plain_program.c)
  # A sanitizer runtime cannot be linked statically.
  target_compile_options(sim_static_program PRIVATE -fno-sanitize=all)
  target_link_options(sim_static_program PRIVATE -static -fno-sanitize=all)
  add_executable(sim_unlinked_program ${CMAKE_CURRENT_SOURCE_DIR}/sim_plain_program.c)
  target_compile_definitions(sim_unlinked_program PRIVATE KESTRIX_NEEDS_LIBRARY)
  target_link_libraries(sim_unlinked_program PRIVATE kestrix)
  set_target_properties(sim_unlinked_program PROPERTIES SKIP_BUILD_RPATH TRUE)
  add_dependencies(test_sim_launcher sim_static_program sim_unlinked_program)
  set(foreign "")
  if(NOT CMAKE_CROSSCOMPILING)
    find_program(KESTRIX_BOARD_CC arm-linux-gnueabihf-gcc)
    if(KESTRIX_BOARD_CC)
      set(foreign ${CMAKE_CURRENT_BINARY_DIR}/sim_board_program)
      add_custom_command(OUTPUT ${foreign}
        COMMAND ${KESTRIX_BOARD_CC} -o ${foreign} ${CMAKE_CURRENT_SOURCE_DIR}/sim_plain_program.c
        DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/sim_plain_program.c VERBATIM)
      add_custom_target(sim_board_program DEPENDS ${foreign})
      add_dependencies(test_sim_launcher sim_board_program)
    endif()
  endif()
  target_compile_definitions(test_sim_launcher PRIVATE
    KESTRIX_STATIC_PROGRAM="$<TARGET_FILE:sim_static_program>"
    KESTRIX_UNLINKED_PROGRAM="$<TARGET_FILE:sim_unlinked_program>"
    KESTRIX_BOARD_PROGRAM="${foreign}"
    KESTRIX_VERSION_TEXT="${PROJECT_VERSION}")
endif()

# The model, the script parser and the simulation are tested directly.
if(TARGET test_sim_model)
  target_link_libraries(test_sim_model PRIVATE kestrix_sim_run)
endif()
