# kavri-cli on the simulator: every subcommand through camsim-run, the
# recordings (ONI and raw) interrupted by SIGINT, raw replays, and the demo's
# outputs. The ONI files are played back by tests/oni's OpenNI2 reader program.
# These start the build's programs, which a cross build's test cannot: its
# emulator runs the test itself, and the kernel cannot start another arm64
# program without an emulator registered with binfmt_misc (a setting of the
# whole machine that CI runners do not have).
if(TARGET kavri-cli AND TARGET camsim-run AND TARGET oni_reader AND NOT CMAKE_CROSSCOMPILING)
  pkg_check_modules(CLI_TEST_PNG REQUIRED IMPORTED_TARGET libpng)
  kavri_add_gtest(test_cli_commands
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cli_commands_test.cpp
                          ${CMAKE_CURRENT_LIST_DIR}/cli_runner.cpp
                  LIBS kavri TIMEOUT 300)
  kavri_add_gtest(test_cli_demo
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/demo_outputs_test.cpp
                          ${CMAKE_CURRENT_LIST_DIR}/cli_runner.cpp
                  LIBS kavri PkgConfig::CLI_TEST_PNG TIMEOUT 300)
  # Raw recordings: record --raw, play and --from.
  kavri_add_gtest(test_cli_rec
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/cli_rec_test.cpp
                          ${CMAKE_CURRENT_LIST_DIR}/cli_runner.cpp
                  LIBS kavri TIMEOUT 300)
endif()
if(TARGET kavri-cli AND TARGET camsim-run)
  # The distance picture's colours and colour bar, in-process.
  kavri_add_gtest(test_cli_images
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/images_test.cpp
                  LIBS kavri_cli_cmds kavri)
  # In-process, where the simulator's faults can be injected.
  kavri_add_gtest(test_cli_doctor
                  SOURCES ${CMAKE_CURRENT_LIST_DIR}/doctor_test.cpp
                          ${CMAKE_CURRENT_LIST_DIR}/cli_runner.cpp
                  LIBS kavri_camsim kavri_cli_cmds kavri)
  set(cli_test_defs CAMSIM_RUN_PATH="$<TARGET_FILE:camsim-run>"
      KAVRI_CLI_PATH="$<TARGET_FILE:kavri-cli>" DEMO_SCRIPT="${PROJECT_SOURCE_DIR}/tools/demo.sh"
      KAVRI_BUILD_DIR="${PROJECT_BINARY_DIR}")
  if(TARGET oni_reader)
    list(APPEND cli_test_defs ONI_READER_PATH="$<TARGET_FILE:oni_reader>")
  endif()
  foreach(t test_cli_commands test_cli_rec test_cli_demo test_cli_doctor)
    if(TARGET ${t})
      target_compile_definitions(${t} PRIVATE ${cli_test_defs})
      add_dependencies(${t} kavri-cli camsim-run kavri_camsim)
      if(TARGET oni_reader)
        add_dependencies(${t} oni_reader)
      endif()
    endif()
  endforeach()
endif()
