kavri_add_gtest(test_stream
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_property_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/stream_edge_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/stream_fault_test.cpp
  LIBS kavri_stream kavri_core)
kavri_add_gtest(test_stream_threads
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/stream_thread_test.cpp
  LIBS kavri_stream kavri_core
  LABELS threads)
