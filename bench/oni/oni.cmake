# ONI recording speed beside plain fwrite of the same frames.
kavri_add_bench(bench_oni SOURCES ${CMAKE_CURRENT_LIST_DIR}/oni_record_bench.cpp
                LIBS kavri_oni kavri_core)
