# The simulator's scene, lens, phase model and raw frame generator, compiled straight into the
# test so it does not depend on the rest of the simulator.
kavri_add_gtest(test_sim_frame_gen
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_gen_test.cpp
          ${PROJECT_SOURCE_DIR}/sim/frame_gen.cpp
          ${PROJECT_SOURCE_DIR}/sim/scene.cpp
          ${PROJECT_SOURCE_DIR}/sim/phase_model.cpp)
target_include_directories(test_sim_frame_gen PRIVATE ${PROJECT_SOURCE_DIR}/sim)

# The calibration parameter file the simulated camera serves.
kavri_add_gtest(test_sim_calib_gen
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_gen_calib_test.cpp
          ${PROJECT_SOURCE_DIR}/sim/calib_gen.cpp
          ${PROJECT_SOURCE_DIR}/sim/frame_gen.cpp
          ${PROJECT_SOURCE_DIR}/sim/scene.cpp
          ${PROJECT_SOURCE_DIR}/sim/phase_model.cpp)
target_include_directories(test_sim_calib_gen PRIVATE ${PROJECT_SOURCE_DIR}/sim)
