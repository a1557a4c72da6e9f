# Tests of the project's own scripts, run in the plain build: the product evaluation (with the
# readers of scripts/setup.sh's virtual environment).
set(VM_VENV_PYTHON ${PROJECT_SOURCE_DIR}/.venv/bin/python)
if(NOT VM_SANITIZE AND EXISTS ${VM_VENV_PYTHON})
  add_test(NAME scripts/evaluate_products
    COMMAND ${VM_VENV_PYTHON} ${PROJECT_SOURCE_DIR}/scripts/evaluate_products_test.py)
  set_tests_properties(scripts/evaluate_products PROPERTIES LABELS "unit" TIMEOUT 120)
endif()
