# Three cameras used the way an application does: capture, control and
# filter threads on every camera at once, closes and unplugs among them.
# Under ThreadSanitizer it runs alone: beside another test on two cores the
# capture threads' instrumented decodes fall behind until a camera decodes
# nothing in the whole run.
if(TARGET kavri_camsim)
  set(stress_serial)
  if(KAVRI_SANITIZE MATCHES "thread")
    set(stress_serial SERIAL)
  endif()
  kavri_add_gtest(test_api_stress
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/stress_test.cpp
    LIBS -Wl,--no-as-needed kavri_camsim kavri
    LABELS threads
    TIMEOUT 300
    ${stress_serial})
endif()
