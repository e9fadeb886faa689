# Automatic reconnect on the simulator, which must come before libusb (and
# kavri). The same tests run twice: the watcher following the stand-in's
# libusb hotplug, and forced to poll the bus list.
if(TARGET kavri_camsim)
  kavri_add_gtest(test_api_reconnect
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/reconnect_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri
    LABELS threads
    TIMEOUT 300)
  kavri_register_gtest(test_api_reconnect TEST_PREFIX "polling." TIMEOUT 300 LABELS threads
                       ENVIRONMENT KAVRI_HOTPLUG_POLL=1)
endif()
