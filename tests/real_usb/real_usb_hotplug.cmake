# Camera arrival and removal behind the real libusb (after real_usb.cmake,
# which defines kavri_add_real_usb_test): through libusb's hotplug in the
# umockdev testbed, and again polling the bus list, the path of platforms
# without hotplug. The stand-in's own hotplug test stays with the stand-in.
if(COMMAND kavri_add_real_usb_test)
  # Under LeakSanitizer, when watcher contexts come and go while cameras are
  # plugged and unplugged, Debian's libusb 1.0.26 keeps a device record or
  # two of its own at exit, in both modes (the allocations are libusb's;
  # the stand-in's run of the same test, under the same sanitizers, shows
  # nothing of ours left behind). The test runs behind the real libusb in
  # the other builds.
  set(hotplug_filter "-HotplugTest.StandIn*")
  # Under ThreadSanitizer the emulated device's replacement of an unplugged
  # camera's descriptors races libusb's own descriptors in that test (a
  # simulator matter); the stand-in's run of it stays under ThreadSanitizer.
  if(KAVRI_SANITIZE MATCHES "address|thread")
    string(APPEND hotplug_filter ":HotplugTest.SettingAndRemovingWhileEventsFlow*")
  endif()
  kavri_add_real_usb_test(test_real_usb_hotplug
    SOURCES ${PROJECT_SOURCE_DIR}/tests/api/hotplug_test.cpp
    FILTER "${hotplug_filter}")
  # That test's libusb calls are compiled in, though filtered out here.
  target_link_libraries(test_real_usb_hotplug PRIVATE PkgConfig::LIBUSB)
  target_compile_definitions(test_real_usb_hotplug PRIVATE KAVRI_TEST_REAL_USB)
  gtest_discover_tests(test_real_usb_hotplug DISCOVERY_MODE PRE_TEST
                       TEST_FILTER "${hotplug_filter}" TEST_PREFIX "real_usb.polling."
                       PROPERTIES TIMEOUT 120 LABELS real_usb ENVIRONMENT KAVRI_HOTPLUG_POLL=1)
endif()
