# Recordings: the file layer (round trip, unfinished and killed writers,
# damaged and hostile files).
kavri_add_gtest(test_rec_file SOURCES ${CMAKE_CURRENT_LIST_DIR}/rec_file_test.cpp
                LIBS kavri_internal)

# Recording the simulated camera and replaying it as a camera.
if(TARGET kavri_camsim)
  kavri_add_gtest(test_rec_replay SOURCES ${CMAKE_CURRENT_LIST_DIR}/rec_replay_test.cpp
                  LIBS -Wl,--no-as-needed kavri_camsim kavri PkgConfig::SQLITE3 LABELS threads)
endif()
