# Library start and stop: the whole library, on the simulator (which must
# come before libusb and kavri) so that no real bus is touched.
if(TARGET kavri_camsim)
  kavri_add_gtest(test_core_init
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/init_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri)
endif()
