# ONI writer: byte layout tests, and playback of written files with OpenNI2.
kavri_add_gtest(test_oni_layout SOURCES ${CMAKE_CURRENT_LIST_DIR}/oni_layout_test.cpp
                LIBS kavri_oni kavri_core)

# The OpenNI2 player runs in a reader program of its own, built without
# sanitizers: it is a black box whose threads and teardown are not ours. A
# cross build's test cannot start it (see tests/tools/cli.cmake): the writer's
# layout tests above run there, the playback in the native builds.
if(CMAKE_CROSSCOMPILING)
  return()
endif()
pkg_check_modules(OPENNI2 IMPORTED_TARGET libopenni2)
if(OPENNI2_FOUND)
  add_executable(oni_reader ${CMAKE_CURRENT_LIST_DIR}/oni_reader.cpp)
  target_link_libraries(oni_reader PRIVATE PkgConfig::OPENNI2)
  set_target_properties(oni_reader PROPERTIES COMPILE_OPTIONS "-Wall;-Wextra" LINK_OPTIONS "")
  kavri_add_gtest(test_oni_playback SOURCES ${CMAKE_CURRENT_LIST_DIR}/oni_playback_test.cpp
                  LIBS kavri_oni kavri_core)
  target_compile_definitions(test_oni_playback PRIVATE
                             ONI_READER_PATH="$<TARGET_FILE:oni_reader>")
  add_dependencies(test_oni_playback oni_reader)
else()
  # Fails loudly rather than skipping: playback is what the writer is for.
  add_test(NAME oni_playback_openni2_missing
           COMMAND ${CMAKE_COMMAND} -E echo "OpenNI2 (libopenni2-dev) not found when configuring")
  set_tests_properties(oni_playback_openni2_missing PROPERTIES WILL_FAIL FALSE
                       PASS_REGULAR_EXPRESSION "^never$")
endif()
