# Faults end to end, in the plain build: the reduced rendered flight mapped while being killed,
# on a full disk, as a live run fed through a pipe, a second time into the same home, as flights
# that make nothing or lose some frames, as a flight in two blocks far apart, under an
# address-space or a file-size limit, and from a home named through a link. They fly the
# reduced flight of the other end-to-end runs and read the views those rendered.
set(VM_VENV_PYTHON ${PROJECT_SOURCE_DIR}/.venv/bin/python)
if(NOT VM_SANITIZE AND EXISTS ${VM_VENV_PYTHON} AND TARGET VornMapping)
  foreach(case IN ITEMS kill full_disk live second_run nothing_made partial blocks memory
                       file_limit links)
    add_test(NAME e2e/faults_${case}
      COMMAND ${VM_VENV_PYTHON} ${PROJECT_SOURCE_DIR}/scripts/e2e_faults.py
              --program $<TARGET_FILE:VornMapping>
              --flight-maker $<TARGET_FILE:make_example_flight>
              --work ${CMAKE_BINARY_DIR}/e2e/faults_${case} --case ${case}
              --views-cache ${VM_E2E_VIEWS})
    # The full disk needs a private tmpfs mount (root); elsewhere the case reports a skip.
    set_tests_properties(e2e/faults_${case} PROPERTIES LABELS "e2e" TIMEOUT 300
      SKIP_RETURN_CODE 77)
  endforeach()
endif()
