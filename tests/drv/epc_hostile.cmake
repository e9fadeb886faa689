# Regression inputs found by the fuzzers, replayed through the calibration mount.
kavri_add_gtest(test_epc_hostile
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/epc_hostile_test.cpp
  LIBS kavri_internal)
target_compile_definitions(test_epc_hostile PRIVATE
                           KAVRI_FUZZ_FOUND_DIR="${PROJECT_SOURCE_DIR}/fuzz/found/calib_mount")
