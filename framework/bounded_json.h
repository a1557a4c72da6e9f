#pragma once

#include "values/json.h"

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>

namespace fw {

// The deepest nesting of any JSON document the program reads, the value reader's own limit:
// a top-level value is at depth 0, every element or member one deeper than its container.
// Deeper documents serve no purpose here; refusing them as they are read keeps a hostile text
// from costing tens of bytes of memory for each of its bytes.
constexpr int kMaxJsonDepth = sv::Json::kMaxDepth;

// A JSON document nested deeper than kMaxJsonDepth.
class JsonTooDeep : public std::runtime_error {
 public:
  JsonTooDeep();
};

// Throws JsonTooDeep for a value at `depth` past the limit; the one check every bounded parse
// makes on each value as the parser reaches it.
void checkJsonDepth(int depth);

// Parses strict JSON (no comments) as the JSON library does, but throws JsonTooDeep as soon as
// the text nests deeper than kMaxJsonDepth, before the deeper values are built.
nlohmann::json parseBoundedJson(const std::string& text);

}  // namespace fw
