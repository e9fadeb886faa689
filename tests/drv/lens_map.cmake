find_package(OpenCV REQUIRED COMPONENTS core imgproc calib3d)
# kavri_internal: the driver area holds more than the lens map, and the archive
# pulls in only the objects the test needs.
kavri_add_gtest(test_lens_map
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/lens_map_opencv_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/lens_map_apply_test.cpp
  LIBS kavri_internal ${OpenCV_LIBS})
target_include_directories(test_lens_map SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
