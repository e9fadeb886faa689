# The EPC distance decode beside an OpenCV chain of the same steps, one core.
find_package(OpenCV REQUIRED COMPONENTS core imgproc calib3d)
kavri_add_bench(bench_epc_decode
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/epc_decode_bench.cpp
            ${PROJECT_SOURCE_DIR}/sim/frame_gen.cpp ${PROJECT_SOURCE_DIR}/sim/scene.cpp
            ${PROJECT_SOURCE_DIR}/sim/phase_model.cpp ${PROJECT_SOURCE_DIR}/sim/calib_gen.cpp
    LIBS kavri_internal opencv_core opencv_imgproc opencv_calib3d)
target_include_directories(bench_epc_decode PRIVATE ${PROJECT_SOURCE_DIR}/sim
                           ${PROJECT_SOURCE_DIR}/src)

# The temporal filter's per-pixel pass beside OpenCV's running average.
kavri_add_bench(bench_epc_temporal
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/epc_temporal_bench.cpp
    LIBS kavri_internal opencv_core opencv_imgproc)
