# Geometry of the framework: poses and geodesy, image buffer, camera models and undistorter,
# object roots and frames, bag-of-words vocabulary, map projections.
list(APPEND FRAMEWORK_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/pose.cpp
  ${CMAKE_CURRENT_LIST_DIR}/geodesy.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gimage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/camera.cpp
  ${CMAKE_CURRENT_LIST_DIR}/undistorter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bow_scoring.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vocabulary.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_resource.cpp
  ${CMAKE_CURRENT_LIST_DIR}/map_frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/diy_frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/china_offsets.cpp
  ${CMAKE_CURRENT_LIST_DIR}/projection.cpp)
