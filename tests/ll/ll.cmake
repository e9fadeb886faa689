# Driver registry, transport dispatch and the USB transport.
kavri_add_gtest(test_ll_dispatch
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/registry_test.cpp ${CMAKE_CURRENT_LIST_DIR}/dispatch_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/usb_debug_level_test.cpp
  LIBS kavri)
