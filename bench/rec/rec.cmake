# Raw recording on the camera simulator: capture CPU with the recording off
# and on, the sustained write rate behind a free-running camera, and replay
# speed with and without the distance decode.
if(TARGET kavri_camsim)
  kavri_add_bench(bench_rec
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/rec_bench.cpp
      LIBS -Wl,--no-as-needed kavri_camsim kavri)
  target_include_directories(bench_rec PRIVATE ${PROJECT_SOURCE_DIR}/sim)
endif()
