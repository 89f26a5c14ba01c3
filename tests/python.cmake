# The Python module's tests (pytest, tests/python): every test function is a
# ctest test of its own, Python.<name>, run by the distribution's Python
# against the module in the build tree and kestrix-sim.
if(TARGET kestrix_python)
  execute_process(COMMAND ${KESTRIX_PYTHON} -c "import pytest"
    RESULT_VARIABLE _kestrix_no_pytest OUTPUT_QUIET ERROR_QUIET)
  if(_kestrix_no_pytest)
    message(STATUS "Python module tests: off, no pytest for ${KESTRIX_PYTHON} (python3-pytest)")
  else()
    file(GLOB _kestrix_python_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/python/test_*.py)
    foreach(file ${_kestrix_python_tests})
      file(STRINGS ${file} _functions REGEX "^def test_[A-Za-z0-9_]+\\(")
      foreach(line ${_functions})
        string(REGEX REPLACE "^def (test_[A-Za-z0-9_]+)\\(.*" "\\1" function "${line}")
        add_test(NAME Python.${function}
          COMMAND ${KESTRIX_PYTHON} -m pytest -q -p no:cacheprovider "${file}::${function}"
          WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/python)
        set_tests_properties(Python.${function} PROPERTIES TIMEOUT 300 ENVIRONMENT
          "KESTRIX_SIM=$<TARGET_FILE:kestrix-sim>;KESTRIX_CMAKE=${CMAKE_COMMAND};KESTRIX_BUILD_DIR=${PROJECT_BINARY_DIR};KESTRIX_PYTHONPATH=${PROJECT_BINARY_DIR}/python;KESTRIX_LIBRARY=$<TARGET_FILE:kestrix>;KESTRIX_SOURCE_DIR=${PROJECT_SOURCE_DIR};PYTHONDONTWRITEBYTECODE=1")
      endforeach()
    endforeach()
  endif()
endif()
