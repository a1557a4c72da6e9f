# Tests of the project's own scripts, run in the plain build: the product evaluation (with the
# readers of scripts/setup.sh's virtual environment).
set(VM_VENV_PYTHON ${PROJECT_SOURCE_DIR}/.venv/bin/python)
if(NOT VM_SANITIZE AND EXISTS ${VM_VENV_PYTHON})
  add_test(NAME scripts/evaluate_products
    COMMAND ${VM_VENV_PYTHON} ${PROJECT_SOURCE_DIR}/scripts/evaluate_products_test.py)
  set_tests_properties(scripts/evaluate_products PROPERTIES LABELS "unit" TIMEOUT 120)
endif()

# End to end: a reduced rendered flight (8 frames of 640 x 480) mapped by the program in both
# storage modes, its products checked against the ground truth.
if(NOT VM_SANITIZE AND EXISTS ${VM_VENV_PYTHON} AND TARGET VornMapping)
  foreach(mode IN ITEMS files:1 mbtiles:2)
    string(REPLACE ":" ";" parts ${mode})
    list(GET parts 0 name)
    list(GET parts 1 storage)
    add_test(NAME e2e/${name}
      COMMAND ${VM_VENV_PYTHON} ${PROJECT_SOURCE_DIR}/scripts/e2e_flight.py
              --program $<TARGET_FILE:VornMapping>
              --flight-maker $<TARGET_FILE:make_example_flight>
              --work ${CMAKE_BINARY_DIR}/e2e/${name} --storage ${storage})
    set_tests_properties(e2e/${name} PROPERTIES LABELS "e2e" TIMEOUT 600)
  endforeach()
  # A survey with ordinary GPS (2 m) and gimbal (1.5 degree) noise: the GPS decides where the
  # block lies, so the DOM's shift is held to the GPS's reach and its correlation is judged
  # once the block's offset, rotation and scale are taken out.
  add_test(NAME e2e/noisy_gps
    COMMAND ${VM_VENV_PYTHON} ${PROJECT_SOURCE_DIR}/scripts/e2e_flight.py
            --program $<TARGET_FILE:VornMapping>
            --flight-maker $<TARGET_FILE:make_example_flight>
            --work ${CMAKE_BINARY_DIR}/e2e/noisy_gps
            --flight-args "--width 640 --height 480 --fx 544 --altitude 50 --strips 3 --frames-per-strip 6 --gps-noise 2 --attitude-noise 1.5"
            --tolerances dom_correlation=off,dom_shift_px=4,dom_correlation_registered=0.9)
  set_tests_properties(e2e/noisy_gps PROPERTIES LABELS "e2e" TIMEOUT 600)
endif()
