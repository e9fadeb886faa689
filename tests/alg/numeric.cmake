kavri_add_gtest(test_numeric_alg
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/numeric_cmap_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/numeric_conv_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/numeric_fixmath_test.cpp
  LIBS kavri_alg kavri_core)
