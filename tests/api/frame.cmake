# Frame conversions, point clouds, the filter switch and frame files.
kavri_add_gtest(test_frame_file
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_file_test.cpp
  LIBS kavri)
kavri_add_gtest(test_frame_pcl
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_pcl_test.cpp
  LIBS kavri)
# End to end on the camera simulator (linked ahead of the library).
kavri_add_gtest(test_frame_sim
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/frame_sim_test.cpp
  LIBS kavri_camsim kavri
  LABELS threads
  TIMEOUT 120)
kavri_add_gtest(test_temporal_sim
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/temporal_sim_test.cpp
  LIBS kavri_camsim kavri
  LABELS threads
  TIMEOUT 120)
