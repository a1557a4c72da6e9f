#pragma once

#include "values/var.h"

#include <cstdint>
#include <string>

namespace sv {

// The value system's own JSON text codec. The reader is a recursive-descent parser with
// a relaxed grammar: "//" and "/* */" comments, bare words as strings and object keys, and
// spans in angle brackets read as Undefined. The writer is the value printer.
//
// A Json object is the state of one parse; load() builds a fresh one for every call, so
// parses on different threads never share anything.
class Json {
 public:
  // The value of text, with comments allowed. Undefined after a quiet failure (such as
  // an empty text or a bad escape); throws VarException after a throwing one.
  static Var load(const std::string& text);
  // The printed form of value.
  static std::string dump(const Var& value);
  // Appends in as a quoted JSON string to out.
  static void escapeString(const std::string& in, std::string& out);

  // Parser state for text; strategy 0 is standard JSON, 1 also skips comments.
  Json(const std::string& text, int strategy);

  void consumeWhitespace();
  bool consumeComment();
  void consumeGarbage();
  // The next significant byte, consumed; 0 (and a quiet failure) at the end of the text.
  char getNextToken();
  Var parseJson(int depth);
  Var parseNumber();
  std::string parseString();
  Var parseWord();
  Var expect(const std::string& word, const Var& value);
  // A byte as failure messages show it: 'x' (120) when printable, else (10).
  static std::string esc(char c);
  static void encodeUtf8(long pt, std::string& out);

  // Records the first failure message and returns; callers unwind through `failed`.
  void fail(const std::string& message);
  // Records the first failure message and throws message as a VarException.
  [[noreturn]] void failThrow(const std::string& message);

  std::string text;
  uint64_t position = 0;
  std::string error;
  bool failed = false;
  int32_t strategy;
  // The deepest nesting accepted: a top-level value is at depth 0, every element or member one
  // deeper than its container. Every JSON reader of the program holds documents to it.
  static constexpr int32_t kMaxDepth = 200;
  int32_t maxDepth = kMaxDepth;
  // Byte class by unsigned byte value: 1 digit, 2 letter or '_', 0 anything else.
  int32_t charClass[256];

 private:
  // The byte at position; 0 at (or past) the end, as for a zero-terminated text.
  char peek() const { return position < text.size() ? text[position] : '\0'; }
  int classOf(char c) const { return charClass[static_cast<unsigned char>(c)]; }
  Var parseArray(int depth);
  Var parseObject(int depth);
  void skipDigits();
};

}  // namespace sv
