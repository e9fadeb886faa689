# The Python package on the simulator: its pytest suite, its examples and
# its two installs (cmake --install, pip). With Debian's interpreter and
# numpy/pytest packages; not under the sanitizers (a sanitized library
# cannot be loaded into an uninstrumented interpreter), nor in a cross build
# (the host's interpreter cannot load the arm64 library).
set(kavri_python /usr/bin/python3)
if(NOT KAVRI_SANITIZE AND NOT CMAKE_CROSSCOMPILING AND TARGET kavri_camsim
   AND EXISTS ${kavri_python})
  set(py_dir ${PROJECT_SOURCE_DIR}/python)
  set(py_work ${CMAKE_BINARY_DIR}/python-work)
  set(py_env
      KAVRI_LIBRARY=$<TARGET_FILE:kavri>
      KAVRI_CAMSIM_LIBRARY=$<TARGET_FILE:kavri_camsim>
      PYTHONPATH=${py_dir}
      PYTHONDONTWRITEBYTECODE=1
      MPLBACKEND=Agg)

  add_test(NAME python_package
           COMMAND ${kavri_python} -m pytest -q -p no:cacheprovider ${py_dir}/tests)
  set_tests_properties(python_package PROPERTIES
    ENVIRONMENT "${py_env};KAVRI_WORKDIR=${py_work}/package/" TIMEOUT 300 LABELS python)

  # Each example as a user runs it, on a simulated camera.
  set(examples
      "live_stats.py\;--frames\;20"
      "save_point_cloud.py\;${py_work}/example-cloud.ply"
      "record_replay.py\;${py_work}/example.kvr"
      "live_view_matplotlib.py\;--frames\;5\;--save\;${py_work}/example-view.png")
  foreach(example IN LISTS examples)
    list(GET example 0 script)
    list(SUBLIST example 1 -1 args)
    string(REPLACE ".py" "" name ${script})
    add_test(NAME python_example_${name}
             COMMAND ${kavri_python} -m kavri.testing ${py_dir}/examples/${script} ${args})
    set_tests_properties(python_example_${name} PROPERTIES
      ENVIRONMENT "${py_env};KAVRI_WORKDIR=${py_work}/${name}/" TIMEOUT 120 LABELS python)
  endforeach()

  add_test(NAME python_installs
           COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/install_test.sh ${CMAKE_BINARY_DIR}
                   ${py_dir} ${py_work}/installs)
  set_tests_properties(python_installs PROPERTIES
    ENVIRONMENT "KAVRI_CAMSIM_LIBRARY=$<TARGET_FILE:kavri_camsim>;PYTHONDONTWRITEBYTECODE=1"
    TIMEOUT 300 LABELS python)
endif()
