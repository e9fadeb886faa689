# Two simulated cameras capturing at once through random faults, unplugs,
# closes from another thread, frame-rate, frequency and filter changes.
# Short in CI; `make soak` runs the long one (KAVRI_SOAK_FRAMES).
if(TARGET kavri_camsim)
  kavri_add_gtest(test_soak
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/soak_test.cpp ${CMAKE_CURRENT_LIST_DIR}/soak_camera.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri
    LABELS threads
    TIMEOUT 3600)
endif()
