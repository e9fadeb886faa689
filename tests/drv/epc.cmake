# The EPC driver: per-pixel arithmetic, calibration mount, decode pipeline and
# driver operations without a camera. The simulator's phase model and
# calibration generator are compiled in to produce realistic frames and files.
set(epc_sim_gen ${PROJECT_SOURCE_DIR}/sim/frame_gen.cpp ${PROJECT_SOURCE_DIR}/sim/scene.cpp
                ${PROJECT_SOURCE_DIR}/sim/phase_model.cpp ${PROJECT_SOURCE_DIR}/sim/calib_gen.cpp)
kavri_add_gtest(test_epc_calc
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/epc_calc_test.cpp
  LIBS kavri_internal)
kavri_add_gtest(test_epc_mount
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/epc_mount_test.cpp ${epc_sim_gen}
  LIBS kavri_internal)
target_include_directories(test_epc_mount PRIVATE ${PROJECT_SOURCE_DIR}/sim)
kavri_add_gtest(test_epc_decode
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/epc_decode_test.cpp
  LIBS kavri_internal)
kavri_add_gtest(test_epc_driver
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/epc_driver_test.cpp
  LIBS kavri_internal)
kavri_add_gtest(test_epc_temporal
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/epc_temporal_test.cpp
  LIBS kavri_internal)
