# kestrix-run under the simulated controller: the robot program's end, however
# it comes, leaves the motors off and the servos disabled.
if(TARGET test_run_launcher)
  add_executable(run_child ${CMAKE_CURRENT_SOURCE_DIR}/run_child.c)
  add_dependencies(test_run_launcher kestrix-sim kestrix-sim-preload kestrix-run run_child pwm_check servo_sweep_check)
  target_compile_definitions(test_run_launcher PRIVATE
    KESTRIX_SIM_LAUNCHER="$<TARGET_FILE:kestrix-sim>"
    KESTRIX_RUN="$<TARGET_FILE:kestrix-run>"
    KESTRIX_RUN_CHILD="$<TARGET_FILE:run_child>"
    KESTRIX_PWM_CHECK="$<TARGET_FILE:pwm_check>"
    KESTRIX_SERVO_SWEEP_CHECK="$<TARGET_FILE:servo_sweep_check>"
    KESTRIX_VERSION_TEXT="${PROJECT_VERSION}")
endif()
