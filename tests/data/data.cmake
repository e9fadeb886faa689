# Data transfer and firmware upgrade.
kavri_add_gtest(test_data_crc
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/crc_test.cpp
  LIBS kavri)

# Downloads and uploads on the camera simulator, which must come before libusb.
if(TARGET kavri_camsim)
  kavri_add_gtest(test_data_sim
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/download_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/download_fault_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/upload_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/helper_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/device_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri
    LABELS threads
    TIMEOUT 120)
endif()
