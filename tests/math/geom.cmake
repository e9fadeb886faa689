kavri_add_gtest(test_geom
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/geom_vec_quat_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/geom_mat_test.cpp
  LIBS kavri_math)
