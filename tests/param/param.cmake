kavri_add_gtest(test_param_file
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/param_format_test.cpp ${CMAKE_CURRENT_LIST_DIR}/fake_camera.cpp
  LIBS kavri_param kavri_core)
kavri_add_gtest(test_param_robust
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/param_robust_test.cpp ${CMAKE_CURRENT_LIST_DIR}/fake_camera.cpp
  LIBS kavri_param kavri_core)
kavri_add_gtest(test_param_pkg
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/calib_pkg_test.cpp ${CMAKE_CURRENT_LIST_DIR}/fake_camera.cpp
          ${CMAKE_CURRENT_LIST_DIR}/fs_dir_test.cpp
  LIBS kavri_param kavri_core PkgConfig::LIBARCHIVE PkgConfig::LIBUV)
target_compile_definitions(test_param_pkg PRIVATE
                           KAVRI_FUZZ_FOUND_DIR="${PROJECT_SOURCE_DIR}/fuzz/found/zip")
