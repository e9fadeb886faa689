# Undistortion map and phase/amplitude kernels beside OpenCV, single thread, same run.
find_package(OpenCV REQUIRED COMPONENTS core imgproc calib3d)

kavri_add_bench(bench_numeric
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/numeric_bench.cpp
    LIBS kavri_internal ${OpenCV_LIBS})
target_include_directories(bench_numeric SYSTEM PRIVATE ${OpenCV_INCLUDE_DIRS})
