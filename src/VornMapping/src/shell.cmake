# Application shell: the entry point, chain configuration with its defaults, chain
# nodes with progress and output records, and the program itself.
set(shell_dir ${CMAKE_CURRENT_SOURCE_DIR})
list(APPEND MAPPING_SOURCES
  ${shell_dir}/base64_decode.cpp
  ${shell_dir}/chain_config.cpp
  ${shell_dir}/chain_defaults.cpp
  ${shell_dir}/error_result.cpp
  ${shell_dir}/input_commands.cpp
  ${shell_dir}/line_queue.cpp
  ${shell_dir}/status_line.cpp
  ${shell_dir}/status_loop.cpp
  ${shell_dir}/task_startup.cpp)
list(APPEND MAPPING_TESTS
  ${shell_dir}/child_process_test_helper.cpp
  ${shell_dir}/chain_config_test.cpp
  ${shell_dir}/main_process_test.cpp
  ${shell_dir}/status_loop_test.cpp
  ${shell_dir}/task_startup_test.cpp)
list(APPEND MAPPING_TEST_LABELS tsan)

# The program, with the real mapper.
add_executable(VornMapping
  ${shell_dir}/main.cpp)
target_link_libraries(VornMapping PRIVATE mapping)

# The entry point over the stand-in mapper, whose states follow the input alone: the
# status loop's tests run it, whatever mapper the program links.
add_executable(VornMappingStandIn ${shell_dir}/main.cpp ${shell_dir}/stand_in_mapper.cpp)
target_link_libraries(VornMappingStandIn PRIVATE mapping)

# The process tests start both programs; they run after them and find them by path.
set_property(SOURCE ${shell_dir}/main_process_test.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  "VORN_MAPPING_PROGRAM=\"$<TARGET_FILE:VornMapping>\""
  "VORN_MAPPING_STAND_IN_PROGRAM=\"$<TARGET_FILE:VornMappingStandIn>\"")
function(vm_shell_test_needs_program)
  if(TARGET mapping_test)
    add_dependencies(mapping_test VornMapping VornMappingStandIn)
  endif()
endfunction()
cmake_language(DEFER CALL vm_shell_test_needs_program)

vm_add_fuzzer(shell_input_fuzzer
  SOURCES ${shell_dir}/fuzz/shell_input_fuzzer.cpp
  DEPS mapping)
