kavri_add_gtest(test_stream
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_property_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/stream_edge_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/stream_fault_test.cpp
  LIBS kavri_stream kavri_core)
kavri_add_gtest(test_stream_threads
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_thread_test.cpp
  LIBS kavri_stream kavri_core
  LABELS threads)
# The checksum helpers once per instruction set the library can pick.
kavri_add_gtest(test_stream_sum
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_sum_test.cpp
  LIBS kavri_stream kavri_core)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
  foreach(isa baseline avx2)
    add_test(NAME stream_sum_${isa} COMMAND test_stream_sum)
    set_tests_properties(stream_sum_${isa} PROPERTIES ENVIRONMENT KAVRI_MAX_ISA=${isa})
  endforeach()
endif()
