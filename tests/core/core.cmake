kavri_add_gtest(test_core SOURCES ${CMAKE_CURRENT_LIST_DIR}/log_test.cpp ${CMAKE_CURRENT_LIST_DIR}/path_test.cpp ${CMAKE_CURRENT_LIST_DIR}/records_test.cpp ${CMAKE_CURRENT_LIST_DIR}/version_test.cpp LIBS kavri_internal)
# The version test compares the generated header with project()'s version.
target_compile_definitions(test_core PRIVATE KAVRI_TEST_PROJECT_VERSION="${PROJECT_VERSION}")
