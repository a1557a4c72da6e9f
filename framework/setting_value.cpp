#include "framework/setting_value.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace fw {
namespace {

// Beyond this a double no longer holds every whole number.
constexpr double kExactWholeNumbers = 9007199254740992.0;  // 2^53

const nlohmann::json* nested(const nlohmann::json& object, const std::string& key) {
  if (!object.is_object()) return nullptr;
  const auto flat = object.find(key);
  if (flat != object.end()) return &*flat;
  // {"a": {"b.c": 1}} and {"a": {"b": {"c": 1}}} both name "a.b.c", as the store flattens them.
  for (size_t dot = key.find('.'); dot != std::string::npos; dot = key.find('.', dot + 1)) {
    const auto group = object.find(key.substr(0, dot));
    if (group == object.end() || !group->is_object()) continue;
    if (const nlohmann::json* found = nested(*group, key.substr(dot + 1))) return found;
  }
  return nullptr;
}

// True when the whole of `text`, blanks around it aside, reads as one T the way the store
// reads its numbers ("4" and " 4 " are 4; "4.5" is no whole number, "4x" no number at all).
template <typename T>
bool wholeText(const std::string& text, T& value) {
  std::istringstream in(text);
  if (!(in >> value)) return false;
  in >> std::ws;
  return in.eof();
}

}  // namespace

std::optional<FoundSetting> findSetting(const nlohmann::json& specific, const std::string& key) {
  if (const nlohmann::json* found = nested(specific, key)) return FoundSetting{*found, false};
  if (const char* text = std::getenv(key.c_str())) return FoundSetting{std::string(text), true};
  return std::nullopt;
}

std::optional<double> settingNumber(const nlohmann::json& value) {
  double number = 0.0;
  if (value.is_number()) {
    number = value.get<double>();
  } else if (!value.is_string() || !wholeText<double>(value.get<std::string>(), number)) {
    return std::nullopt;
  }
  if (!std::isfinite(number)) return std::nullopt;
  return number;
}

std::optional<std::int64_t> settingWholeNumber(const nlohmann::json& value) {
  if (value.is_string()) {
    std::int64_t whole = 0;
    if (!wholeText<std::int64_t>(value.get<std::string>(), whole) ||
        std::fabs(double(whole)) > kExactWholeNumbers)
      return std::nullopt;
    return whole;
  }
  if (value.is_number_integer()) {
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > std::uint64_t(INT64_MAX))
      return std::nullopt;
    const std::int64_t whole = value.get<std::int64_t>();
    if (std::fabs(double(whole)) > kExactWholeNumbers) return std::nullopt;
    return whole;
  }
  const std::optional<double> number = settingNumber(value);
  if (!number || std::floor(*number) != *number || std::fabs(*number) > kExactWholeNumbers)
    return std::nullopt;
  return static_cast<std::int64_t>(*number);
}

std::string shownSetting(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace fw
