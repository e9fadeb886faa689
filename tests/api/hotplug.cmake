# Camera arrival and removal on the simulator, which must come before libusb
# (and kavri). The same tests run twice: through the stand-in's libusb
# hotplug, and with the watcher forced to poll the bus list.
if(TARGET kavri_camsim)
  kavri_add_gtest(test_api_hotplug
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/hotplug_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri
    LABELS threads
    TIMEOUT 120)
  kavri_register_gtest(test_api_hotplug TEST_PREFIX "polling." TIMEOUT 120 LABELS threads
                       ENVIRONMENT KAVRI_HOTPLUG_POLL=1)
endif()
