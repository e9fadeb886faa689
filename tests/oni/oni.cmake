# ONI writer: byte layout tests, and playback of written files with OpenNI2.
kavri_add_gtest(test_oni_layout SOURCES ${CMAKE_CURRENT_LIST_DIR}/oni_layout_test.cpp
                LIBS kavri_oni kavri_core)
