# OpenCV's image codecs register GDAL, which takes its own (uninstrumented) mutexes in an order
# that ThreadSanitizer's deadlock detector reports. Test binaries that decode images, and the
# programs they start, get the suppression file through their environment.
function(vm_tsan_suppress_codec_reports test_target)
  if(NOT VM_SANITIZE STREQUAL "thread")
    return()
  endif()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${test_target}_tsan_environment.cmake)
  set(suppressions ${PROJECT_SOURCE_DIR}/src/utilities/src/tsan_suppressions.txt)
  file(WRITE ${script}
    "if(${test_target}_TESTS)\n"
    "  set_tests_properties(\${${test_target}_TESTS} PROPERTIES ENVIRONMENT_MODIFICATION\n"
    "    \"TSAN_OPTIONS=string_append::suppressions=${suppressions}\")\n"
    "endif()\n")
  # Registered at the end of the folder, so it runs after the test discovery script, which
  # defines <target>_TESTS. The path is spelled out now: a deferred call reads variables late.
  cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY [[${CMAKE_CURRENT_SOURCE_DIR}]]
    CALL set_property DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES [[${script}]])")
endfunction()
