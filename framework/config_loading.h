#pragma once

#include "framework/config_store.h"

#include <nlohmann/json.hpp>

#include <string>

namespace fw {

// Copies a JSON object into `store`, one variable per leaf, with overwrite on. The variable
// name is `prefix` followed by the key; nested objects recurse with "<name>." as prefix.
// Strings are stored as their text, booleans as "1" or "0", anything else (numbers, arrays,
// null) as its compact JSON text. A value that an existing typed entry cannot take is
// logged as a warning and skipped, so one bad key does not lose the others.
void loadConfigIntoVar(const nlohmann::json& value, Var& store, const std::string& prefix);

}  // namespace fw
