# The mapper: task log, dataset, chain building and the run thread. The chain's two ends come
# from the factories declared in chain_factories.h, which each program links in.
set(mapper_dir ${CMAKE_CURRENT_SOURCE_DIR})
list(APPEND MAPPING_SOURCES
  ${mapper_dir}/address_space.cpp
  ${mapper_dir}/back_end_images.cpp
  ${mapper_dir}/frame_accounting.cpp
  ${mapper_dir}/in_order_feeder.cpp
  ${mapper_dir}/located_frames.cpp
  ${mapper_dir}/run_outcome.cpp
  ${mapper_dir}/run_progress.cpp
  ${mapper_dir}/task_log_sink.cpp
  ${mapper_dir}/zel_mapper_impl.cpp)
list(APPEND MAPPING_DEPS utilities)
list(APPEND MAPPING_TESTS
  ${mapper_dir}/address_space_test.cpp
  ${mapper_dir}/back_end_images_test.cpp
  ${mapper_dir}/in_order_feeder_test.cpp
  ${mapper_dir}/mapper_process_test.cpp
  ${mapper_dir}/production_program_test.cpp
  ${mapper_dir}/task_log_sink_test.cpp
  ${mapper_dir}/task_run_test_helper.cpp
  ${mapper_dir}/test_chain_ends.cpp
  ${mapper_dir}/zel_mapper_impl_test.cpp
  ${PROJECT_SOURCE_DIR}/src/utilities/src/test_images.cpp)
list(APPEND MAPPING_TEST_LABELS tsan)
# The tests that run the mapper's threads, in process or in a child.
list(APPEND MAPPING_TSAN_TESTS
  ${mapper_dir}/in_order_feeder_test.cpp
  ${mapper_dir}/mapper_process_test.cpp
  ${mapper_dir}/production_program_test.cpp
  ${mapper_dir}/task_log_sink_test.cpp
  ${mapper_dir}/zel_mapper_impl_test.cpp)
# Their file-local gate and task helpers share names with those of other mapping tests: each
# is compiled on its own.
set_source_files_properties(${mapper_dir}/in_order_feeder_test.cpp
  ${mapper_dir}/zel_mapper_impl_test.cpp PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)

# The program's chain ends: our front end, and the dense fusion node as the back end, which
# builds terrain fusion through its factory.
target_link_libraries(VornMapping PRIVATE sfm points_fusion terrain_fusion)

# The test variant of the program: both ends are test doubles, so whole runs can be tested.
add_executable(VornMappingTestChain ${mapper_dir}/main.cpp ${mapper_dir}/test_chain_ends.cpp)
target_link_libraries(VornMappingTestChain PRIVATE mapping)

set_property(SOURCE ${mapper_dir}/mapper_process_test.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  "VORN_MAPPING_TEST_PROGRAM=\"$<TARGET_FILE:VornMappingTestChain>\"")
set_property(SOURCE ${mapper_dir}/production_program_test.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  "VORN_MAPPING_PROGRAM=\"$<TARGET_FILE:VornMapping>\"")
function(vm_mapper_test_needs_programs)
  if(TARGET mapping_test)
    add_dependencies(mapping_test VornMapping VornMappingTestChain)
    # The production test maps the rendered flight and reads its point cloud with py3dtiles.
    target_link_libraries(mapping_test PRIVATE example_flight pointcloud_tiles_reader)
  endif()
endfunction()
cmake_language(DEFER CALL vm_mapper_test_needs_programs)

