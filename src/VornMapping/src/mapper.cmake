# The mapper: task log, dataset, chain building and the run thread. The chain's two ends come
# from the factories declared in chain_factories.h, which each program links in.
set(mapper_dir ${CMAKE_CURRENT_SOURCE_DIR})
list(APPEND MAPPING_SOURCES
  ${mapper_dir}/task_log_sink.cpp
  ${mapper_dir}/zel_mapper_impl.cpp)
list(APPEND MAPPING_DEPS utilities)
list(APPEND MAPPING_TESTS
  ${mapper_dir}/mapper_process_test.cpp
  ${mapper_dir}/production_program_test.cpp
  ${mapper_dir}/task_log_sink_test.cpp
  ${mapper_dir}/task_run_test_helper.cpp
  ${mapper_dir}/test_chain_ends.cpp
  ${mapper_dir}/zel_mapper_impl_test.cpp
  ${PROJECT_SOURCE_DIR}/src/utilities/src/test_images.cpp)
list(APPEND MAPPING_TEST_LABELS tsan)

# The program's chain ends: the front end when its library is in the tree (it is configured
# after this folder, so the test is on its sources), otherwise a factory that reports it as
# not built; the back end is not built yet.
if(EXISTS ${PROJECT_SOURCE_DIR}/src/sfm/src/CMakeLists.txt)
  target_link_libraries(VornMapping PRIVATE sfm)
else()
  target_sources(VornMapping PRIVATE ${mapper_dir}/unbuilt_front_end.cpp)
endif()
target_sources(VornMapping PRIVATE ${mapper_dir}/unbuilt_back_end.cpp)

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
  endif()
endfunction()
cmake_language(DEFER CALL vm_mapper_test_needs_programs)

