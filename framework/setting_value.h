#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

// Settings of a node's "specific" object as its configuration store takes them: a JSON number,
// or a text that holds one (the store keeps every setting as text, and the environment gives
// only texts). Booleans, null, arrays and objects hold no number.
namespace fw {

// A setting found for a key, and whether it came from the environment.
struct FoundSetting {
  nlohmann::json value;  // an environment variable's value is a JSON text
  bool fromEnvironment = false;
};

// The setting `key` ("terrainfusion.threads") as a node's store finds it: the flat key in
// `specific`, else the key nested at a dot ({"terrainfusion": {"threads": 4}}), else the
// environment variable of the same name. None when neither names it.
std::optional<FoundSetting> findSetting(const nlohmann::json& specific, const std::string& key);

// The number a setting holds: a finite JSON number, or a text that is one whole finite number.
std::optional<double> settingNumber(const nlohmann::json& value);

// The whole number a setting holds (2.0 and "2" are 2); none for fractions, for numbers beyond
// 2^53 and for values that hold no number.
std::optional<std::int64_t> settingWholeNumber(const nlohmann::json& value);

// The value as an error shows it: JSON, a text quoted with its control bytes escaped.
std::string shownSetting(const nlohmann::json& value);

}  // namespace fw
