# Density clustering and its k-d tree, shared by the depth range and terrain fusion.
list(APPEND POINTS_CLUSTERING_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/dbscan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kd_tree.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ground_level.cpp)
list(APPEND POINTS_FUSION_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/dbscan_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ground_level_test.cpp)
# The clustering runs on parallel loops; the ground level does not.
list(APPEND POINTS_FUSION_TSAN_TESTS ${CMAKE_CURRENT_LIST_DIR}/dbscan_test.cpp)
