#include "framework/bounded_json.h"

namespace fw {

JsonTooDeep::JsonTooDeep()
    : std::runtime_error("the JSON document nests deeper than " + std::to_string(kMaxJsonDepth) +
                         " levels") {}

void checkJsonDepth(int depth) {
  if (depth > kMaxJsonDepth) throw JsonTooDeep();
}

nlohmann::json parseBoundedJson(const std::string& text) {
  return nlohmann::json::parse(
      text,
      [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
        checkJsonDepth(depth);
        return true;
      },
      /*allow_exceptions=*/true, /*ignore_comments=*/false);
}

}  // namespace fw
