# The camera API on the simulator, which must come before libusb (and kavri).
if(TARGET kavri_camsim)
  kavri_add_gtest(test_api_dev
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/dev_test.cpp ${CMAKE_CURRENT_LIST_DIR}/batch_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri
    LABELS threads
    TIMEOUT 120)
  kavri_add_gtest(test_api_capture
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_test.cpp ${CMAKE_CURRENT_LIST_DIR}/capture_fault_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/capture_thread_test.cpp ${CMAKE_CURRENT_LIST_DIR}/capture_meta_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri
    LABELS threads
    TIMEOUT 120)
  kavri_add_gtest(test_api_soak
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/soak_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri
    LABELS threads
    TIMEOUT 300)
endif()
kavri_add_gtest(test_api_ti
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ti_decode_test.cpp
  LIBS kavri)
if(TARGET kavri_camsim)
  kavri_add_gtest(test_api_multi_dev
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/multi_dev_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri
    LABELS threads
    TIMEOUT 300)
endif()
