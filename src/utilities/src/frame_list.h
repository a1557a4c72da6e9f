#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <vector>

// The most documents a frame list may hold: far more than any flight, and few enough that the
// frames made from them stay within a small share of the machine's memory.
constexpr size_t kMaxFrameListDocuments = 100000;

// Reads a frame list (a JSON array of frame documents) one document at a time, handing each
// to `take` and then letting it go, so the list costs no more memory than its text and the
// frames made from it: members no frame document has, and arrays or objects where a frame
// document has numbers or texts, are skipped as they are read. A null list (or an empty object)
// holds no document. Throws, with the reason in its message, for a text that is not JSON, nests
// deeper than documents may (fw::JsonTooDeep), is not an array, or holds more than
// kMaxFrameListDocuments documents.
void readFrameList(const std::vector<unsigned char>& text,
                   const std::function<void(const nlohmann::json&)>& take);
