# kestrix-sim --panel: the HTTP interface (test_sim_panel) and the page in a
# headless browser (sim_panel_browser), both on the check-out programs.
if(TARGET test_sim_panel)
  add_dependencies(test_sim_panel kestrix-sim kestrix-sim-preload side_button_check graphics_check)
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
    KESTRIX_SIM_PANEL=${panel})
endif()
