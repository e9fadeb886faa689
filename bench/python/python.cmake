# The Python package's frame loop beside the same loop in C, on a
# free-running simulated camera (Debian's interpreter and numpy).
if(TARGET kavri_camsim AND EXISTS /usr/bin/python3)
  kavri_add_bench(bench_python
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/python_bench.cpp
      LIBS -Wl,--no-as-needed kavri_camsim kavri)
  target_include_directories(bench_python PRIVATE ${PROJECT_SOURCE_DIR}/sim)
  target_compile_definitions(bench_python PRIVATE
      KAVRI_BENCH_PYTHON="/usr/bin/python3"
      KAVRI_BENCH_SCRIPT="${CMAKE_CURRENT_LIST_DIR}/frames_loop.py"
      KAVRI_BENCH_PYTHONPATH="${PROJECT_SOURCE_DIR}/python"
      KAVRI_BENCH_LIBRARY="$<TARGET_FILE:kavri>"
      KAVRI_BENCH_CAMSIM="$<TARGET_FILE:kavri_camsim>")
endif()
