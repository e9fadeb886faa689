# Three cameras used the way an application does: capture, control and
# filter threads on every camera at once, closes and unplugs among them.
if(TARGET kavri_camsim)
  kavri_add_gtest(test_api_stress
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/stress_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri
    LABELS threads
    TIMEOUT 300)
endif()
