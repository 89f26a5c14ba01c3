# test_sim_status: the status block's publish and snapshot, on threads of one
# process (its header alone, so that ThreadSanitizer's build of it is small).
if(TARGET test_sim_status)
  target_include_directories(test_sim_status PRIVATE ${PROJECT_SOURCE_DIR}/sim)
endif()
