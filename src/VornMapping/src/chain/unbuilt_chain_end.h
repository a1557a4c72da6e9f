#pragma once

#include <stdexcept>
#include <string>

// Thrown by the factory of a chain end that this program was built without; the mapper
// reports it as "Failed to create ... process: <name> (<reason>)" and fails the task.
inline std::runtime_error unbuiltChainEnd(const std::string& name) {
  return std::runtime_error(name + " is not built into this program");
}
