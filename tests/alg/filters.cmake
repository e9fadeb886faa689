# Image filter tests; OpenCV is the reference for the medians and nothing else
# of the library depends on it.
find_package(OpenCV REQUIRED COMPONENTS core imgproc)

kavri_add_gtest(filter_median_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/filter_median_test.cpp
    LIBS kavri_alg kavri_core opencv_core opencv_imgproc)
kavri_add_gtest(filter_hole_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/filter_hole_test.cpp
    LIBS kavri_alg kavri_core)
kavri_add_gtest(filter_gauss_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/filter_gauss_test.cpp
    LIBS kavri_alg kavri_core)
kavri_add_gtest(filter_bpf_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/filter_bpf_test.cpp
    LIBS kavri_alg kavri_core)
