# kavri_internal: the driver area holds more than the lens map, and the archive
# pulls in only the objects the test needs. OpenCV is the peer the map is
# checked against; a build without it (the arm64 cross build) checks the rest.
find_package(OpenCV QUIET COMPONENTS core imgproc calib3d)
kavri_add_gtest(test_lens_map
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/lens_map_apply_test.cpp
  LIBS kavri_internal)
if(OpenCV_FOUND)
  kavri_add_gtest(test_lens_map_opencv
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/lens_map_opencv_test.cpp
    LIBS kavri_internal ${OpenCV_LIBS})
  target_include_directories(test_lens_map_opencv SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
endif()
