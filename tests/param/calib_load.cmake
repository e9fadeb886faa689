# Loading calibration from the camera, on the simulator (which must come
# before libusb and kavri), and the simulator's calibration package itself.
if(TARGET kavri_camsim)
  kavri_add_gtest(test_param_calib_load
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/calib_load_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri PkgConfig::LIBARCHIVE
    LABELS threads
    TIMEOUT 120)
  kavri_add_gtest(test_param_calib_sim
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/calib_sim_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim PkgConfig::LIBARCHIVE
    TIMEOUT 60)
endif()
