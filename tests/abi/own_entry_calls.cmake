# The library's calls between its transport, stream parser, calibration store
# and chip driver stay inside it when an application defines functions of the
# same names (the simulator comes before libusb).
if(TARGET kavri_camsim)
  kavri_add_gtest(test_own_entry_calls
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/own_entry_calls_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri ${CMAKE_DL_LIBS}
    LABELS threads
    TIMEOUT 120)
endif()
