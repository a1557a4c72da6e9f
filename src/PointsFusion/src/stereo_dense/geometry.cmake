# Scaled frame records, stereo pair geometry and the disparity calculators.
list(APPEND STEREO_DENSE_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/image_scaled.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sparse_depths.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pinhole_projector.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mutual_matches.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pair_motion.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tracked_matches.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dense_depth_geometry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/seen_matches.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window_max.cpp
  ${CMAKE_CURRENT_LIST_DIR}/disparity_calculator.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sgm_cpu.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sgm_gpu.cpp)
list(APPEND STEREO_DENSE_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/pair_geometry_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/seen_matches_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window_max_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mutual_matches_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pair_motion_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tracked_matches_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pair_faults_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_scaled_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reduced_source_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/disparity_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/low_texture_pair_test.cpp)
# All but the match bookkeeping run the matcher's or the pair stages' threads.
list(APPEND STEREO_DENSE_TSAN_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/pair_geometry_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mutual_matches_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pair_motion_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pair_faults_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/image_scaled_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reduced_source_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/disparity_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/low_texture_pair_test.cpp)
list(APPEND STEREO_DENSE_DEPS points_clustering new_sgm)
# The tests take located frames from the front end.
list(APPEND STEREO_DENSE_TEST_DEPS sfm)
vm_add_benchmark(stereo_dense_perf SOURCES ${CMAKE_CURRENT_LIST_DIR}/perf/dense_pair_perf.cpp
  DEPS stereo_dense example_flight)
