# Under an emulator (the arm64 cross build runs its tests through qemu-user):
# - every test program is started with KAVRI_TEST_EMULATED=1, which the tests
#   whose checks need a real processor's pace read (tests/common/emulated.h);
# - each GoogleTest executable is one CTest test, all its tests in one
#   process as a developer runs it. A process per test started the emulator
#   and built the simulated cameras' scenes and calibration anew each time:
#   the suite took ten minutes that way, four in a process per executable;
# - time limits are the executable's, its per-test limit times
#   KAVRI_TEST_TIMEOUT_SCALE.
if(CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env KAVRI_TEST_EMULATED=1
                                    ${CMAKE_CROSSCOMPILING_EMULATOR})
  set(kavri_test_scale_default 4)
else()
  set(kavri_test_scale_default 1)
endif()
set(KAVRI_TEST_TIMEOUT_SCALE ${kavri_test_scale_default} CACHE STRING
    "Factor on the tests' time limits (4 under an emulator)")
# Options for the tests' own sources only, after the build type's: the arm64
# stage compiles them at -O1, in two thirds of the time, while the library
# and the simulator they test keep the release build's optimisation.
set(KAVRI_TEST_COMPILE_OPTIONS "" CACHE STRING "Compile options of the test programs' sources")

# kavri_register_gtest(target [TEST_PREFIX p] [TIMEOUT s] [LABELS l] [ENVIRONMENT e] [SERIAL])
# Registers a GoogleTest executable's tests with CTest: test by test, or as
# one test under an emulator (see above).
function(kavri_register_gtest target)
  cmake_parse_arguments(arg "SERIAL" "TIMEOUT;TEST_PREFIX" "LABELS;ENVIRONMENT" ${ARGN})
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 300)
  endif()
  math(EXPR timeout "${arg_TIMEOUT} * ${KAVRI_TEST_TIMEOUT_SCALE}")
  set(props TIMEOUT ${timeout})
  if(arg_LABELS)
    list(APPEND props LABELS "${arg_LABELS}")
  endif()
  if(arg_ENVIRONMENT)
    list(APPEND props ENVIRONMENT "${arg_ENVIRONMENT}")
  endif()
  if(arg_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    add_test(NAME ${arg_TEST_PREFIX}${target} COMMAND ${target} --gtest_brief=1)
    set_tests_properties(${arg_TEST_PREFIX}${target} PROPERTIES ${props})
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST TEST_PREFIX "${arg_TEST_PREFIX}"
                         PROPERTIES ${props})
  endif()
endfunction()

# kavri_add_gtest(name SOURCES a.cpp b.cpp LIBS x y [LABELS l] [TIMEOUT s] [SERIAL])
# One GoogleTest executable, registered with CTest test by test. SERIAL runs
# its tests with nothing beside them.
function(kavri_add_gtest name)
  cmake_parse_arguments(arg "SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${arg_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/include
                                             ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest GTest::gtest_main
                        Threads::Threads)
  target_compile_options(${name} PRIVATE ${KAVRI_TEST_COMPILE_OPTIONS})
  set(extra)
  if(arg_SERIAL)
    set(extra SERIAL)
  endif()
  kavri_register_gtest(${name} TIMEOUT "${arg_TIMEOUT}" LABELS "${arg_LABELS}" ${extra})
endfunction()
