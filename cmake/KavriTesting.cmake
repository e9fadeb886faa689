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
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 300)
  endif()
  set(props TIMEOUT ${arg_TIMEOUT})
  if(arg_LABELS)
    list(APPEND props LABELS "${arg_LABELS}")
  endif()
  if(arg_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${props})
endfunction()
