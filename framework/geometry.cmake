# Geometry of the framework: poses and geodesy, image buffer, camera models and undistorter,
# object roots and frames, bag-of-words vocabulary, map projections.
list(APPEND FRAMEWORK_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/pose.cpp
  ${CMAKE_CURRENT_LIST_DIR}/geodesy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gps_record.cpp
  ${CMAKE_CURRENT_LIST_DIR}/printable_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gimage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_image_decoding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/carried_frame_image.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_direct_decoding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/png_band_decoding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tiff_band_decoding.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_parameters.cpp
  ${CMAKE_CURRENT_LIST_DIR}/undistorter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bow_scoring.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vocabulary.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_resource.cpp
  ${CMAKE_CURRENT_LIST_DIR}/map_frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/key_point_geometry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/geotagged_frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/diy_frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/china_offsets.cpp
  ${CMAKE_CURRENT_LIST_DIR}/projection.cpp)
# Frames are decoded through libjpeg directly where OpenCV's decoder would only add a pass, and
# large PNG and TIFF frames through libpng and libtiff in bands, where OpenCV's would hold the
# whole image.
list(APPEND FRAMEWORK_DEPS JPEG::JPEG PNG::PNG TIFF::TIFF)
list(APPEND FRAMEWORK_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/pose_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gps_record_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gimage_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_image_decoding_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/carried_frame_image_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_direct_decoding_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/png_band_decoding_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tiff_band_decoding_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/undistorter_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vocabulary_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/diy_frame_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/key_point_geometry_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/projection_test.cpp)
# A frame is read and written from several threads.
list(APPEND FRAMEWORK_TSAN_TESTS ${CMAKE_CURRENT_LIST_DIR}/diy_frame_test.cpp)
# Their file-local helpers share names with those of the PNG decoding and frame tests, so
# each is compiled on its own rather than with its neighbours.
set_source_files_properties(
  ${CMAKE_CURRENT_LIST_DIR}/tiff_band_decoding_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/key_point_geometry_test.cpp
  PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)

vm_add_benchmark(framework_geometry_perf
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/perf/geometry_perf.cpp
  DEPS framework)
# The loader's sources are compiled into the harness so that the fuzzer sees their coverage.
vm_add_fuzzer(vocabulary_load_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/vocabulary_load_fuzz.cpp
          ${CMAKE_CURRENT_LIST_DIR}/vocabulary.cpp
          ${CMAKE_CURRENT_LIST_DIR}/bow_scoring.cpp
          ${CMAKE_CURRENT_LIST_DIR}/gimage.cpp
          ${CMAKE_CURRENT_LIST_DIR}/log.cpp
  DEPS values ${OpenCV_LIBS}
  RUNS 20000
  CORPUS fuzz/vocabulary_corpus)
vm_add_fuzzer(band_decode_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/band_decode_fuzz.cpp
          ${CMAKE_CURRENT_LIST_DIR}/png_band_decoding.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tiff_band_decoding.cpp
          ${CMAKE_CURRENT_LIST_DIR}/frame_image_decoding.cpp
          ${CMAKE_CURRENT_LIST_DIR}/jpeg_direct_decoding.cpp
  DEPS ${OpenCV_LIBS} JPEG::JPEG PNG::PNG TIFF::TIFF
  RUNS 20000
  CORPUS fuzz/band_corpus)
vm_add_fuzzer(jpeg_direct_decode_fuzz
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz/jpeg_direct_decode_fuzz.cpp
          ${CMAKE_CURRENT_LIST_DIR}/jpeg_direct_decoding.cpp
  DEPS ${OpenCV_LIBS} JPEG::JPEG
  RUNS 20000
  CORPUS fuzz/jpeg_corpus)
