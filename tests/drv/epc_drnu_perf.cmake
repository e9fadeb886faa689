# The calibrated distance, a block of pixels at a time, against the per-pixel
# formula on random calibrations and frames.
kavri_add_gtest(test_epc_drnu_block
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/epc_drnu_block_test.cpp
  LIBS kavri_internal)
