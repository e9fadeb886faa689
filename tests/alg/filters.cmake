# Image filter tests; OpenCV is the reference for the medians and nothing else
# of the library depends on it (a build without OpenCV, the arm64 cross build,
# leaves the median peer test out).
find_package(OpenCV QUIET COMPONENTS core imgproc)

if(OpenCV_FOUND)
  kavri_add_gtest(filter_median_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/filter_median_test.cpp
      LIBS kavri_alg kavri_core opencv_core opencv_imgproc)
endif()
kavri_add_gtest(filter_hole_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/filter_hole_test.cpp
    LIBS kavri_alg kavri_core)
kavri_add_gtest(filter_gauss_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/filter_gauss_test.cpp
    LIBS kavri_alg kavri_core)
kavri_add_gtest(filter_bpf_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/filter_bpf_test.cpp
    LIBS kavri_alg kavri_core)
