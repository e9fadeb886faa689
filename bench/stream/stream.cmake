kavri_add_bench(bench_stream SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_bench.cpp
                LIBS kavri_stream kavri_core)
# Feed and fetch of whole frames beside the two chained memcpys they amount to.
kavri_add_bench(bench_parser_floor SOURCES ${CMAKE_CURRENT_LIST_DIR}/parser_floor_bench.cpp
                LIBS kavri_stream kavri_core)
