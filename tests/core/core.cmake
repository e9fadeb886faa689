kavri_add_gtest(test_core SOURCES ${CMAKE_CURRENT_LIST_DIR}/log_test.cpp ${CMAKE_CURRENT_LIST_DIR}/path_test.cpp ${CMAKE_CURRENT_LIST_DIR}/records_test.cpp LIBS kavri_internal)
