# kestrix-sim --panel: the HTTP interface (test_sim_panel) and the page in a
# headless browser (sim_panel_browser), both on the check-out programs.
if(TARGET test_sim_panel)
  add_executable(sim_button_labels ${CMAKE_CURRENT_SOURCE_DIR}/sim_button_labels.c)
  target_link_libraries(sim_button_labels PRIVATE kestrix)
  add_dependencies(test_sim_panel kestrix-sim kestrix-sim-preload side_button_check graphics_check line_follower
    camera_rate_check analog_check push_two claw_carry sim_button_labels)
  if(KESTRIX_SIM_PANEL)
    find_package(nlohmann_json REQUIRED)
    target_link_libraries(test_sim_panel PRIVATE nlohmann_json::nlohmann_json)
    set(panel 1)
  else()
    set(panel 0)
  endif()
  target_compile_definitions(test_sim_panel PRIVATE
    KESTRIX_SIM_LAUNCHER="$<TARGET_FILE:kestrix-sim>"
    KESTRIX_CHECKOUT_DIR="${PROJECT_BINARY_DIR}/checkout"
    KESTRIX_LINE_FOLLOWER="$<TARGET_FILE:line_follower>"
    KESTRIX_LINE_WORLD="${PROJECT_SOURCE_DIR}/sim/worlds/line.json"
    KESTRIX_ARENA_WORLD="${PROJECT_SOURCE_DIR}/sim/worlds/arena.json"
    KESTRIX_TABLE_WORLD="${PROJECT_SOURCE_DIR}/sim/worlds/table.json"
    KESTRIX_PUSH_TWO="$<TARGET_FILE:push_two>"
    KESTRIX_CLAW_CARRY="$<TARGET_FILE:claw_carry>"
    KESTRIX_BUTTON_LABELS="$<TARGET_FILE:sim_button_labels>"
    KESTRIX_SIM_PANEL=${panel})
endif()

# The page in headless Chromium; the screenshot stays in the build tree.
if(KESTRIX_SIM_PANEL AND NOT CMAKE_CROSSCOMPILING AND EXISTS /usr/bin/python3)
  set(browser_arguments --launcher $<TARGET_FILE:kestrix-sim> --checkout ${PROJECT_BINARY_DIR}/checkout
    --screenshot ${CMAKE_CURRENT_BINARY_DIR}/panel.png)
  if(TARGET line_follower AND EXISTS ${PROJECT_SOURCE_DIR}/sim/worlds/line.json)
    list(APPEND browser_arguments --world ${PROJECT_SOURCE_DIR}/sim/worlds/line.json
      --line-follower $<TARGET_FILE:line_follower> --arena ${PROJECT_SOURCE_DIR}/sim/worlds/arena.json)
  endif()
  if(TARGET push_to_zone AND EXISTS ${PROJECT_SOURCE_DIR}/sim/worlds/table.json)
    list(APPEND browser_arguments --table ${PROJECT_SOURCE_DIR}/sim/worlds/table.json
      --push-to-zone $<TARGET_FILE:push_to_zone>)
  endif()
  # Not the python first on PATH: Debian's, which has Selenium.
  add_test(NAME sim_panel_browser COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/panel_browser.py
    ${browser_arguments})
  # The longest case of all: started first (see long_tests.ctest).
  set_tests_properties(sim_panel_browser PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 COST 60)
endif()
