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
  LIBS kavri_camsim_objects kavri_camsim_model)
kavri_add_gtest(test_sim_phase_e2e
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/phase_e2e_test.cpp
  LIBS kavri_camsim)

# camsim-run preloads the simulator into a program linked against the real
# libusb. Not in a cross build: camsim-run, itself emulated, cannot start
# another arm64 program (see tests/tools/cli.cmake).
if(NOT CMAKE_CROSSCOMPILING)
  add_executable(test_sim_usb_lister ${CMAKE_CURRENT_LIST_DIR}/usb_lister.c)
  target_link_libraries(test_sim_usb_lister PRIVATE PkgConfig::LIBUSB)
  add_test(NAME sim_camsim_run_preloads
           COMMAND ${CMAKE_COMMAND} -E env CAMSIM_CAMERAS=3 ASAN_OPTIONS=verify_asan_link_order=0
                   $<TARGET_FILE:camsim-run> $<TARGET_FILE:test_sim_usb_lister>)
  set_tests_properties(sim_camsim_run_preloads PROPERTIES PASS_REGULAR_EXPRESSION "cameras=3"
                       TIMEOUT 60)
endif()
add_test(NAME sim_camsim_run_usage COMMAND camsim-run)
set_tests_properties(sim_camsim_run_usage PROPERTIES WILL_FAIL TRUE)
