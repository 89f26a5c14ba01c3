# Challenges: test_challenge scores runs of its own making, and runs the
# examples under kestrix-sim --challenge and the class's grade through
# kestrix-grade.
if(TARGET test_challenge)
  target_link_libraries(test_challenge PRIVATE kestrix_sim_challenge nlohmann_json::nlohmann_json)
  add_dependencies(test_challenge kestrix-sim kestrix-sim-preload kestrix-grade line_follower find_red_block push_two
    push_to_zone)
  target_compile_definitions(test_challenge PRIVATE
    KESTRIX_SIM_LAUNCHER="$<TARGET_FILE:kestrix-sim>"
    KESTRIX_GRADE="${PROJECT_BINARY_DIR}/sim/kestrix-grade"
    KESTRIX_CHALLENGES_DIR="${PROJECT_SOURCE_DIR}/sim/challenges"
    KESTRIX_EXAMPLES_DIR="${PROJECT_BINARY_DIR}/examples"
    KESTRIX_EXAMPLES_SOURCE_DIR="${PROJECT_SOURCE_DIR}/examples"
    KESTRIX_STUDENT_CI="${PROJECT_SOURCE_DIR}/doc/student-ci/check.sh"
    KESTRIX_BUILD_PKG_CONFIG="${KESTRIX_BUILD_PKG_CONFIG_DIR}")
endif()

