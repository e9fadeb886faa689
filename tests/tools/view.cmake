# kavri-cli view in headless Chromium (Debian's chromium, chromium-driver,
# python3-selenium) on the simulator; skipped when they are not installed.
# Not under the sanitizers: camsim-run preloads the simulator ahead of their
# runtime, which a sanitized kavri-cli cannot start with. Not in a cross
# build: the browser test is a host program that starts kavri-cli (see
# tests/tools/cli.cmake).
if(TARGET kavri-cli AND TARGET camsim-run AND EXISTS /usr/bin/chromedriver AND NOT KAVRI_SANITIZE
   AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME cli_view_browser
           COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/view_test.py
                   $<TARGET_FILE:kavri-cli> $<TARGET_FILE:camsim-run>
                   ${PROJECT_BINARY_DIR}/viewer.png)
  # Alone, so the frame rate it measures is the viewer's, not a loaded runner's.
  set_tests_properties(cli_view_browser PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)
endif()
# The server's token, Host and Origin checks, in-process.
if(TARGET kavri_cli_cmds)
  kavri_add_gtest(test_view_access SOURCES ${CMAKE_CURRENT_LIST_DIR}/view_access_test.cpp
                  LIBS kavri_cli_cmds kavri)
endif()
