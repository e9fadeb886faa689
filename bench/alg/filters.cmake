# Filters beside their OpenCV counterparts, single thread, same run.
find_package(OpenCV REQUIRED COMPONENTS core imgproc)

kavri_add_bench(bench_filters
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/filters_bench.cpp
    LIBS kavri_alg kavri_core opencv_core opencv_imgproc)
