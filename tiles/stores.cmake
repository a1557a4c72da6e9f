# The tile manager interface, the LRU tile cache with its commands and mosaic export, the
# file-system and MBTiles stores, and the terrain tileset record (which needs the chain
# library's output records).
list(APPEND TILES_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/tile_manager.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_manager_cached.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_manager_cached_gdal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mosaic_export.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_blobs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/atomic_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/store_timings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/store_images.cpp
  ${CMAKE_CURRENT_LIST_DIR}/written_tiles.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_manager_file_system.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_manager_mbtiles.cpp)
list(APPEND TILES_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/tile_cache_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_cache_concurrency_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_store_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mbtiles_store_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/store_fault_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/store_timings_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/store_images_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mosaic_export_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/written_tiles_test.cpp)
list(APPEND TILES_TEST_LABELS tsan)
# The cache shared by threads; the other store tests run on one thread.
list(APPEND TILES_TSAN_TESTS ${CMAKE_CURRENT_LIST_DIR}/tile_cache_concurrency_test.cpp)
# Its store alias names another store than the file store tests' one: compiled on its own.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/mbtiles_store_test.cpp
  PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)

# The benchmark makes its stores in temporary folders like the tests do.
vm_add_benchmark(tiles_stores_perf
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/perf/stores_perf.cpp
  DEPS tiles vm_temp_dir)
