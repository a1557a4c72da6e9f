# The PNG codec with its checksums and processor-feature query, and the tile classes.
# zlib is the reference the tests and benchmarks compare the checksums with.
find_package(ZLIB REQUIRED)

# The processor-feature query is a library of its own: the programs and every test main run it
# at start without linking the codec.
vm_add_library(cpu_features SOURCES ${CMAKE_CURRENT_LIST_DIR}/cpu_features.cpp)

set(TILES_CODEC_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/crc32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/adler32.cpp
  ${CMAKE_CURRENT_LIST_DIR}/huffman_code.cpp
  ${CMAKE_CURRENT_LIST_DIR}/deflate_header.cpp
  ${CMAKE_CURRENT_LIST_DIR}/png_static_code.cpp
  ${CMAKE_CURRENT_LIST_DIR}/png_encoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/png_decoder.cpp)
list(APPEND TILES_SOURCES ${TILES_CODEC_SOURCES})
list(APPEND TILES_DEPS cpu_features)
list(APPEND TILES_CODEC_SOURCES ${CMAKE_CURRENT_LIST_DIR}/cpu_features.cpp)
list(APPEND TILES_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/checksum_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/png_codec_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/png_decoder_test.cpp)
list(APPEND TILES_DEPS ZLIB::ZLIB)

vm_add_benchmark(tiles_codec_perf
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/perf/codec_perf.cpp
  DEPS tiles ZLIB::ZLIB ${OpenCV_LIBS})

# Short runs under the sanitizers in the test command; run the binary without -runs
# (and with a scratch corpus folder) for long fuzzing by hand. The harness compiles the
# codec sources itself so that libFuzzer sees their coverage.
vm_add_fuzzer(fuzz_decode_png
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/decode_png_fuzzer.cpp ${TILES_CODEC_SOURCES}
  RUNS 200000 CORPUS fuzz/decode_png_corpus)
if(TARGET fuzz_decode_png)
  target_include_directories(fuzz_decode_png PRIVATE ${PROJECT_SOURCE_DIR})
endif()
# Encoder round trips through our decoder and zlib.
vm_add_fuzzer(fuzz_png_round_trip
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/png_round_trip_fuzzer.cpp ${TILES_CODEC_SOURCES}
  DEPS ZLIB::ZLIB RUNS 10000 CORPUS fuzz/png_round_trip_corpus)
if(TARGET fuzz_png_round_trip)
  target_include_directories(fuzz_png_round_trip PRIVATE ${PROJECT_SOURCE_DIR})
endif()

# The tile classes and their binary record.
list(APPEND TILES_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/tile_record.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile.cpp)
list(APPEND TILES_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/tile_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tile_record_test.cpp)
vm_add_fuzzer(fuzz_tile_record
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/tile_record_fuzzer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tile_record.cpp ${CMAKE_CURRENT_LIST_DIR}/tile.cpp
  DEPS framework RUNS 100000 CORPUS fuzz/tile_record_corpus)
if(TARGET fuzz_tile_record)
  target_include_directories(fuzz_tile_record PRIVATE ${PROJECT_SOURCE_DIR})
endif()
