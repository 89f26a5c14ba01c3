# The robot in a world: test_world runs the examples and check-out programs
# under kestrix-sim with the worlds of sim/worlds.
if(TARGET test_world)
  target_link_libraries(test_world PRIVATE kestrix_sim_run)
  add_executable(sim_forking_driver ${CMAKE_CURRENT_SOURCE_DIR}/sim_forking_driver.c)
  target_link_libraries(sim_forking_driver PRIVATE kestrix)
  add_dependencies(test_world kestrix-sim kestrix-sim-preload square line_follower bump_and_turn
    base_spin_check compass_check camera_rate_check kestrix-run push_to_zone claw_carry sim_forking_driver)
  target_compile_definitions(test_world PRIVATE
    KESTRIX_SIM_LAUNCHER="$<TARGET_FILE:kestrix-sim>"
    KESTRIX_WORLDS_DIR="${PROJECT_SOURCE_DIR}/sim/worlds"
    KESTRIX_EXAMPLES_DIR="${PROJECT_BINARY_DIR}/examples"
    KESTRIX_CHECKOUT_DIR="${PROJECT_BINARY_DIR}/checkout"
    KESTRIX_RUN_LAUNCHER="$<TARGET_FILE:kestrix-run>"
    KESTRIX_FORKING_DRIVER="$<TARGET_FILE:sim_forking_driver>")
endif()
