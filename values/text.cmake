# JSON text, printing, operators, dotted settings and the built-in classes of the value system.
list(APPEND VALUES_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/json_reader.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/json_writer.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/builtin_methods.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/printer.cpp)
list(APPEND VALUES_TESTS
  ${CMAKE_CURRENT_SOURCE_DIR}/json_reader_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/json_writer_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/printer_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/builtin_methods_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/equality_test.cpp)
# The printer is shared between threads.
list(APPEND VALUES_TSAN_TESTS ${CMAKE_CURRENT_SOURCE_DIR}/printer_test.cpp)

vm_add_benchmark(values_text_bench
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/perf/json_bench.cpp
  DEPS values)

# The fuzzer steers by the coverage of the code it tests, so the codec's own sources carry
# the coverage instrumentation inside the library in fuzzing builds.
if(VM_BUILD_FUZZERS AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set_source_files_properties(
    ${CMAKE_CURRENT_SOURCE_DIR}/json_reader.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/json_writer.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/printer.cpp
    PROPERTIES COMPILE_OPTIONS -fsanitize=fuzzer-no-link)
endif()

# Run by ctest with a fixed seed and run count over the regression inputs (inputs that once
# failed are kept in fuzz/json_corpus).
vm_add_fuzzer(values_json_fuzzer
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/json_reader_fuzzer.cpp
  DEPS values
  RUNS 100000
  CORPUS fuzz/json_corpus)

# The same harness for long runs by hand, not registered with ctest. From a scratch folder,
# with an ASan build:
#   mkdir -p corpus && <build>/values/values_json_fuzzer_long -max_len=4096 -max_total_time=3600 \
#     corpus <source>/values/fuzz/json_corpus
# then copy any crash-* input it writes into values/fuzz/json_corpus under a telling name.
if(VM_BUILD_FUZZERS AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_executable(values_json_fuzzer_long ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/json_reader_fuzzer.cpp)
  target_link_libraries(values_json_fuzzer_long PRIVATE values)
  target_compile_options(values_json_fuzzer_long PRIVATE -fsanitize=fuzzer)
  target_link_options(values_json_fuzzer_long PRIVATE -fsanitize=fuzzer)
endif()
