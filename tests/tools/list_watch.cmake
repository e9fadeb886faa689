# kavri-cli list --watch in-process on the simulator (the stand-in first).
if(TARGET kavri_cli_cmds AND TARGET kavri_camsim)
  kavri_add_gtest(test_cli_list_watch
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/list_watch_test.cpp
                          ${CMAKE_CURRENT_LIST_DIR}/cli_runner.cpp
                  LIBS -Wl,--no-as-needed kavri_camsim kavri_cli_cmds kavri
                  LABELS threads
                  TIMEOUT 120)
  target_compile_definitions(test_cli_list_watch PRIVATE
                             CAMSIM_RUN_PATH="$<TARGET_FILE:camsim-run>"
                             KAVRI_CLI_PATH="$<TARGET_FILE:kavri-cli>")
endif()
