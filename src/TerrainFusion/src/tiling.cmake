# Workers, routes, multi-band blending, DSM stitching, lower zooms, cache trimming and
# tileset refresh.
list(APPEND TERRAIN_FUSION_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/terrain_routes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/route_weights.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sparse_surface.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_tiling.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_clock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_lock_table.cpp
  ${CMAKE_CURRENT_LIST_DIR}/laplacian_pyramid.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_model.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_access.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hole_filling.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_rasters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/height_outliers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/level_gaps.cpp
  ${CMAKE_CURRENT_LIST_DIR}/nearest_known.cpp
  ${CMAKE_CURRENT_LIST_DIR}/multiband_blend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dsm_stitch.cpp
  ${CMAKE_CURRENT_LIST_DIR}/lower_zooms.cpp
  ${CMAKE_CURRENT_LIST_DIR}/halve_image.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cache_trimmer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tileset_refresh.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tf_tileset.cpp)
list(APPEND TERRAIN_FUSION_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/truth_flight_for_tests.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_writers_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tf_tileset_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hole_filling_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/height_outliers_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/level_gaps_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_rasters_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/route_weights_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sparse_surface_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_flight_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_products_test.cpp)
# The tests that run the tile writers and whole flights on the workers.
list(APPEND TERRAIN_FUSION_TSAN_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/tile_writers_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_flight_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terrain_products_test.cpp)
vm_add_benchmark(terrain_fusion_perf
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/perf/tiling_perf.cpp ${CMAKE_CURRENT_LIST_DIR}/truth_flight_for_tests.cpp
  DEPS terrain_fusion example_flight vm_temp_dir)
