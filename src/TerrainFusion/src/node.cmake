# The node: set-up, commands, zoom and placement, local rasters from points and ready rasters.
list(APPEND TERRAIN_FUSION_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/TerrainFusion.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_intake.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_options.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_frame_count.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_end_times.cpp
  ${CMAKE_CURRENT_LIST_DIR}/intake_order.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_geometry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_zoom.cpp
  ${CMAKE_CURRENT_LIST_DIR}/calc_plane.cpp
  ${CMAKE_CURRENT_LIST_DIR}/point_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_image.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_undistorter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/area_reduction.cpp
  ${CMAKE_CURRENT_LIST_DIR}/footprint_sampler.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_placement.cpp
  ${CMAKE_CURRENT_LIST_DIR}/raster_tile_grid.cpp
  ${CMAKE_CURRENT_LIST_DIR}/raster_colouring.cpp
  ${CMAKE_CURRENT_LIST_DIR}/local_rasteriser.cpp
  ${CMAKE_CURRENT_LIST_DIR}/local_raster.cpp
  ${CMAKE_CURRENT_LIST_DIR}/height_grid.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ready_raster.cpp)
list(APPEND TERRAIN_FUSION_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/terrain_node_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_zoom_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/local_raster_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_placement_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/raster_tile_grid_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/local_rasteriser_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/area_reduction_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/footprint_sampler_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/raster_colouring_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ready_raster_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_concurrency_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/intake_order_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_options_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_end_times_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_undistorter_test.cpp)
# The tests that run the node's workers or parallel loops.
list(APPEND TERRAIN_FUSION_TSAN_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/local_rasteriser_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_concurrency_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/intake_order_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_end_times_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_undistorter_test.cpp)
vm_add_benchmark(terrain_node_perf
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/perf/make_map_perf.cpp
    ${CMAKE_CURRENT_LIST_DIR}/perf/footprint_sampler_perf.cpp
  DEPS terrain_fusion example_flight vm_temp_dir)
