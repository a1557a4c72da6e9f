# Runtime services of the framework: log path, link-free folders for every writer, worker
# pools, messenger, configuration store and section timer.
list(APPEND FRAMEWORK_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/log.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link_free_folder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/thread_pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bounded_pool.cpp
  ${CMAKE_CURRENT_LIST_DIR}/config_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/config_loading.cpp
  ${CMAKE_CURRENT_LIST_DIR}/thread_limit.cpp
  ${CMAKE_CURRENT_LIST_DIR}/setting_value.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bounded_json.cpp
  ${CMAKE_CURRENT_LIST_DIR}/timer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_tally.cpp
  ${CMAKE_CURRENT_LIST_DIR}/messenger.cpp)
list(APPEND FRAMEWORK_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/log_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/link_free_folder_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/thread_pool_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bounded_pool_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/config_store_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bounded_json_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/timer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_tally_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/messenger_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dense_services_test.cpp)
list(APPEND FRAMEWORK_TEST_LABELS tsan)
# Every runtime service but the dense services starts or serves threads.
list(APPEND FRAMEWORK_TSAN_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/log_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/thread_pool_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bounded_pool_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/config_store_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/timer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_tally_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/messenger_test.cpp)
list(APPEND FRAMEWORK_DEPS nlohmann_json::nlohmann_json)

vm_add_benchmark(framework_runtime_perf
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/perf/runtime_perf.cpp
  DEPS framework)
