# The back-end node: the dense fusion node, its frame handler and the map set-up. The node
# reaches terrain fusion only through its factory, so it links the library that defines it;
# the tests put a double of the factory (which records what it is sent) among their own
# objects, which the linker takes before it would look into the library.
list(APPEND POINTS_FUSION_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/frame_handler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/map_setup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/points_fusion.cpp)
list(APPEND POINTS_FUSION_DEPS
  stereo_dense pointcloud_tiles points_clustering terrain_fusion chain framework values
  nlohmann_json::nlohmann_json)
list(APPEND POINTS_FUSION_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/map_setup_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/points_fusion_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/points_fusion_flight_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_fusion_double_for_tests.cpp)
# The node's tests run the dense stages' threads.
list(APPEND POINTS_FUSION_TSAN_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/map_setup_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/points_fusion_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/points_fusion_flight_test.cpp)
# The tests link the node itself; the flight test locates its frames with our front end and
# reads the point cloud with py3dtiles.
list(APPEND POINTS_FUSION_TEST_DEPS points_fusion sfm pointcloud_tiles_reader)
