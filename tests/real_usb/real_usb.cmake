# The same camera API tests on the real libusb: the shipped libkavri.so and
# Debian's libusb-1.0 talk to the camera model through an emulated usbfs
# device (sim/usbfs), under umockdev's preload. Label real_usb.
if(TARGET kavri_camsim_usbfs)
  set(real_usb_run ${PROJECT_SOURCE_DIR}/sim/usbfs/usbfs-run.sh)
  function(kavri_add_real_usb_test name)
    cmake_parse_arguments(arg "" "TIMEOUT" "SOURCES;FILTER;ENV" ${ARGN})
    add_executable(${name} ${arg_SOURCES})
    target_include_directories(${name} SYSTEM PRIVATE ${LIBUSB_INCLUDE_DIRS})
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include
                               ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    # The real libusb and never the stand-in: kavri links libusb-1.0.
    target_link_libraries(${name} PRIVATE kavri_camsim_usbfs kavri GTest::gtest GTest::gtest_main
                          Threads::Threads)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${real_usb_run})
    if(NOT arg_TIMEOUT)
      set(arg_TIMEOUT 120)
    endif()
    set(extra)
    if(arg_FILTER)
      set(extra TEST_FILTER ${arg_FILTER})
    endif()
    # One label (discovered tests take a single one); make test-tsan runs it
    # beside the threaded suites.
    set(props TIMEOUT ${arg_TIMEOUT} LABELS real_usb)
    if(arg_ENV)
      list(APPEND props ENVIRONMENT "${arg_ENV}")
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST ${extra} TEST_PREFIX "real_usb."
                         PROPERTIES ${props})
  endfunction()

  # A program holding both front ends stops before its first libusb call.
  add_executable(real_usb_guard_probe ${CMAKE_CURRENT_LIST_DIR}/guard_probe.cpp)
  target_link_libraries(real_usb_guard_probe PRIVATE kavri_camsim_usbfs -Wl,--no-as-needed
                        kavri_camsim kavri)
  add_test(NAME real_usb_refuses_the_stand_in
           COMMAND ${real_usb_run} $<TARGET_FILE:real_usb_guard_probe>)
  set_tests_properties(real_usb_refuses_the_stand_in PROPERTIES WILL_FAIL TRUE LABELS real_usb)

  set(api ${PROJECT_SOURCE_DIR}/tests/api)
  kavri_add_real_usb_test(test_real_usb_dev
    SOURCES ${api}/dev_test.cpp ${api}/batch_test.cpp)
  # The immediate time-out fault is the stand-in's alone: on the real stack
  # only libusb's own timer ends a transfer as timed out (6 s each here).
  kavri_add_real_usb_test(test_real_usb_capture
    SOURCES ${api}/capture_test.cpp ${api}/capture_fault_test.cpp ${api}/capture_thread_test.cpp
    FILTER "-CaptureFault.ThirtyTwoTimeoutsAreTolerated")
  kavri_add_real_usb_test(test_real_usb_multi_dev
    SOURCES ${api}/multi_dev_test.cpp
    TIMEOUT 300)
  kavri_add_real_usb_test(test_real_usb_frame
    SOURCES ${api}/frame_sim_test.cpp)
  # Under ThreadSanitizer the three cameras' Debug-built decodes and the
  # emulated device's socket starve the capture threads of frames on a
  # two-core runner (none delivered in a run); the stress test runs there
  # on the stand-in, and here in the normal and ASan builds.
  if(NOT KAVRI_SANITIZE MATCHES "thread")
    kavri_add_real_usb_test(test_real_usb_stress
      SOURCES ${api}/stress_test.cpp
      ENV "KAVRI_STRESS_SECONDS=6"
      TIMEOUT 300)
    target_compile_definitions(test_real_usb_stress PRIVATE KAVRI_TEST_REAL_USB)
  endif()
  set(ll ${PROJECT_SOURCE_DIR}/tests/ll)
  kavri_add_real_usb_test(test_real_usb_ll
    SOURCES ${ll}/usb_dev_test.cpp ${ll}/usb_cmd_test.cpp ${ll}/usb_stream_test.cpp
            ${ll}/usb_event_test.cpp
    # Errors from event handling itself, refused opens, the immediate
    # time-out and libusb's own object counts are the stand-in's alone.
    FILTER "-UsbStream.PartFilledTimeoutDeliversItsBytesAndRejoinsTheRing:UsbStream.GivenUpCommandIsFreedByItsLateCompletion:UsbEvents.BusyOrOverflowFromEventHandlingKeepsTheLoopGoing:UsbEvents.EventErrorEndsTheLoopAndLaterCommandsTimeOut:UsbEvents.InterruptedOrTimedOutEventHandlingEndsTheLoop:UsbDevices.UnlocatedRecordSkipsACameraThatFailsToOpen")
  set(data ${PROJECT_SOURCE_DIR}/tests/data)
  kavri_add_real_usb_test(test_real_usb_data
    SOURCES ${data}/download_test.cpp ${data}/download_fault_test.cpp ${data}/upload_test.cpp
            ${data}/helper_test.cpp ${data}/device_test.cpp)
endif()

# Recording behind the real libusb: the transfers are taken where libusb
# completes them. The killed recording forks and the slow disk needs the
# stand-in's free-running speed, so both stay with the stand-in; so does the
# frequency change, whose live loop decodes beside the capture: behind the
# real stack it misses frames, and a missed frame's description reaches the
# driver before the decode of the frame the loop kept. Seek and pacing are the
# replay's alone (no USB is involved), and real-time pacing beside the
# emulated device's own threads on a loaded machine is too tight to time.
if(TARGET kavri_camsim_usbfs)
  kavri_add_real_usb_test(test_real_usb_rec
    SOURCES ${PROJECT_SOURCE_DIR}/tests/rec/rec_replay_test.cpp
    FILTER "-RecReplay.Killed*:RecReplay.ADisk*:RecReplay.Frequency*:RecReplay.SeekLoop*"
    TIMEOUT 300)
  target_compile_definitions(test_real_usb_rec PRIVATE KAVRI_TEST_REAL_USB)
  target_link_libraries(test_real_usb_rec PRIVATE PkgConfig::SQLITE3)
endif()
