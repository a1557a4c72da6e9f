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
