# Application shell: the entry point, chain configuration with its defaults, the start
# checks of the task and its settings, and the program itself.
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
  ${shell_dir}/task_settings.cpp
  ${shell_dir}/task_startup.cpp
  ${shell_dir}/temporary_files.cpp)
# The start check reads the front end's settings with the front end's own reader.
list(APPEND MAPPING_DEPS sfm)
list(APPEND MAPPING_TESTS
  ${shell_dir}/child_process_test_helper.cpp
  ${shell_dir}/chain_config_test.cpp
  ${shell_dir}/main_process_test.cpp
  ${shell_dir}/status_loop_test.cpp
  ${shell_dir}/task_settings_test.cpp
  ${shell_dir}/task_startup_test.cpp)
list(APPEND MAPPING_TEST_LABELS tsan)
# The program's own threads: the status loop and the input reader.
list(APPEND MAPPING_TSAN_TESTS ${shell_dir}/main_process_test.cpp ${shell_dir}/status_loop_test.cpp)

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

# Hardening of the program against its input and the way it is started.
list(APPEND MAPPING_SOURCES
  ${shell_dir}/malloc_policy.cpp
  ${shell_dir}/process_guards.cpp
  ${shell_dir}/product_guard.cpp
  ${shell_dir}/task_log_file.cpp)
list(APPEND MAPPING_DEPS cpu_features)
list(APPEND MAPPING_TESTS
  ${shell_dir}/hardening_test.cpp
  ${shell_dir}/hardening_program_test.cpp
  ${shell_dir}/malloc_policy_test.cpp
  ${shell_dir}/product_guard_test.cpp
  ${shell_dir}/run_guards_program_test.cpp
  ${shell_dir}/spawn_test_helper.cpp)
# Runs of the program and threads racing its guards.
list(APPEND MAPPING_TSAN_TESTS
  ${shell_dir}/hardening_test.cpp
  ${shell_dir}/hardening_program_test.cpp
  ${shell_dir}/malloc_policy_test.cpp
  ${shell_dir}/run_guards_program_test.cpp)
set_property(SOURCE ${shell_dir}/hardening_program_test.cpp ${shell_dir}/run_guards_program_test.cpp
  APPEND PROPERTY COMPILE_DEFINITIONS
  "VORN_MAPPING_PROGRAM=\"$<TARGET_FILE:VornMapping>\""
  "VORN_MAPPING_TEST_PROGRAM=\"$<TARGET_FILE:VornMappingTestChain>\"")
# The example-flight tool is configured after this folder: its path reaches the hardening
# test once every folder is in.
function(vm_hardening_test_needs_flight_tool dir)
  if(TARGET mapping_test AND TARGET make_example_flight)
    add_dependencies(mapping_test make_example_flight)
    set_property(SOURCE ${dir}/hardening_program_test.cpp
      DIRECTORY ${dir} APPEND PROPERTY COMPILE_DEFINITIONS
      "VORN_MAKE_EXAMPLE_FLIGHT=\"$<TARGET_FILE:make_example_flight>\"")
  endif()
endfunction()
# (A deferred call reads its arguments when it runs: the folder is written into it now.)
cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY [[${PROJECT_SOURCE_DIR}]]
  CALL vm_hardening_test_needs_flight_tool [[${shell_dir}]])")
