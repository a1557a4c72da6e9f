# The dense pipeline: depth stage, multi-view consistency cleaner and pruner.
list(APPEND STEREO_DENSE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/dense_depth.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dense_depth_options.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pair_choice.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cleaner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pruner.cpp)
list(APPEND STEREO_DENSE_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/dense_depth_feed_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dense_depth_options_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pair_choice_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cleaner_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pruner_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipeline_test.cpp)
# Its result recorder shares its name with the feed tests' one: compiled on its own.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/pair_choice_test.cpp
  PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
# All but the pruner's run the pipeline's threads.
list(APPEND STEREO_DENSE_TSAN_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/dense_depth_feed_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dense_depth_options_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pair_choice_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cleaner_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipeline_test.cpp)
vm_add_benchmark(pipeline_perf SOURCES ${CMAKE_CURRENT_LIST_DIR}/perf/pipeline_perf.cpp
  DEPS stereo_dense example_flight sfm)
