# Free-running capture through kavri_cap_get_frames on the camera simulator,
# beside the transport alone and the simulator's frame generation alone.
if(TARGET kavri_camsim)
  kavri_add_bench(bench_capture
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_bench.cpp
              ${PROJECT_SOURCE_DIR}/sim/frame_gen.cpp ${PROJECT_SOURCE_DIR}/sim/scene.cpp
              ${PROJECT_SOURCE_DIR}/sim/phase_model.cpp
      LIBS -Wl,--no-as-needed kavri_camsim kavri)
  target_include_directories(bench_capture PRIVATE ${PROJECT_SOURCE_DIR}/sim)
  # One to eight cameras at once, each captured and decoded on its own thread.
  kavri_add_bench(bench_many_cams
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/many_cams_bench.cpp
              ${PROJECT_SOURCE_DIR}/sim/frame_gen.cpp ${PROJECT_SOURCE_DIR}/sim/scene.cpp
              ${PROJECT_SOURCE_DIR}/sim/phase_model.cpp
      LIBS -Wl,--no-as-needed kavri_camsim kavri)
  target_include_directories(bench_many_cams PRIVATE ${PROJECT_SOURCE_DIR}/sim)
  # Command round trips (parameter and register reads) from one and from four threads.
  kavri_add_bench(bench_cmd
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/cmd_bench.cpp
      LIBS -Wl,--no-as-needed kavri_camsim kavri)
endif()
# The same capture on Debian's real libusb, the camera behind the emulated
# usbfs device (run under sim/usbfs/usbfs-run.sh; `make bench` does).
if(TARGET kavri_camsim_usbfs)
  kavri_add_bench(bench_capture_usbfs
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_bench.cpp
      LIBS kavri_camsim_usbfs kavri)
endif()
