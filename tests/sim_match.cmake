# Matches: two robot programs on one table under kestrix-sim --robot,
# test_sim_match judges them by the shared trace and what they printed.
if(TARGET test_sim_match)
  add_executable(sim_match_quitter ${CMAKE_CURRENT_SOURCE_DIR}/sim_match_quitter.c)
  target_link_libraries(sim_match_quitter PRIVATE kestrix)
  add_executable(sim_claw_carrier ${CMAKE_CURRENT_SOURCE_DIR}/sim_claw_carrier.c)
  target_link_libraries(sim_claw_carrier PRIVATE kestrix)
  add_executable(sim_match_sleeper ${CMAKE_CURRENT_SOURCE_DIR}/sim_match_sleeper.c)
  target_link_libraries(sim_match_sleeper PRIVATE kestrix)
  target_link_libraries(test_sim_match PRIVATE kestrix_sim_model)
  add_dependencies(test_sim_match kestrix-sim kestrix-sim-preload bump_and_turn push_to_zone two_threads
    sim_match_quitter sim_claw_carrier sim_match_sleeper)
  target_compile_definitions(test_sim_match PRIVATE
    KESTRIX_SIM_LAUNCHER="$<TARGET_FILE:kestrix-sim>"
    KESTRIX_WORLDS_DIR="${PROJECT_SOURCE_DIR}/sim/worlds"
    KESTRIX_EXAMPLES_DIR="${PROJECT_BINARY_DIR}/examples"
    KESTRIX_MATCH_QUITTER="$<TARGET_FILE:sim_match_quitter>"
    KESTRIX_CLAW_CARRIER="$<TARGET_FILE:sim_claw_carrier>"
    KESTRIX_MATCH_SLEEPER="$<TARGET_FILE:sim_match_sleeper>")
endif()
