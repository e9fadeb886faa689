# Driver registry, transport dispatch and the USB transport.
kavri_add_gtest(test_ll_dispatch
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_test.cpp ${CMAKE_CURRENT_LIST_DIR}/dispatch_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/usb_debug_level_test.cpp
  LIBS kavri)

# The USB transport on the camera simulator, which must come before libusb.
if(TARGET kavri_camsim)
  kavri_add_gtest(test_ll_usb
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/usb_dev_test.cpp ${CMAKE_CURRENT_LIST_DIR}/usb_cmd_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/usb_stream_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/usb_event_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri
    LABELS threads
    TIMEOUT 120)
endif()
