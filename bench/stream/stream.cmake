kavri_add_bench(bench_stream SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_bench.cpp
                LIBS kavri_stream kavri_core)
