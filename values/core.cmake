# The dynamic value core: handles, holders, containers, class records, function values and casts.
list(APPEND VALUES_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/var_value.cpp
  ${CMAKE_CURRENT_LIST_DIR}/var_containers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/var_access.cpp
  ${CMAKE_CURRENT_LIST_DIR}/var_class.cpp
  ${CMAKE_CURRENT_LIST_DIR}/var_function.cpp
  ${CMAKE_CURRENT_LIST_DIR}/var_cast.cpp
  ${CMAKE_CURRENT_LIST_DIR}/var_dict.cpp
  ${CMAKE_CURRENT_LIST_DIR}/var_builtin.cpp)
list(APPEND VALUES_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/var_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/var_containers_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/var_function_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/var_cast_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/var_concurrency_test.cpp)
# Its test frame type shares its name with another values test's: compiled on its own.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/var_cast_test.cpp
  PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
# The concurrency cases run under ThreadSanitizer as well.
list(APPEND VALUES_TEST_LABELS tsan)
list(APPEND VALUES_TSAN_TESTS ${CMAKE_CURRENT_LIST_DIR}/var_concurrency_test.cpp)
vm_add_benchmark(values_perf SOURCES ${CMAKE_CURRENT_LIST_DIR}/perf/var_benchmark.cpp DEPS values)
