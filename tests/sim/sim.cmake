# Tests of the camera simulator, driven through plain libusb calls.
kavri_add_gtest(test_sim_enumeration
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/enumeration_test.cpp
  LIBS kavri_camsim)
kavri_add_gtest(test_sim_commands
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/command_test.cpp
  LIBS kavri_camsim)
kavri_add_gtest(test_sim_stream
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_test.cpp
  LIBS kavri_camsim)
kavri_add_gtest(test_sim_transfers
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/transfer_test.cpp
  LIBS kavri_camsim
  LABELS threads)
kavri_add_gtest(test_sim_units
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/encoder_test.cpp
  LIBS kavri_camsim_objects)
kavri_add_gtest(test_sim_phase_e2e
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/phase_e2e_test.cpp
  LIBS kavri_camsim)
