#pragma once

#include <string>
#include <vector>

namespace vmtest {

// What a finished child process left behind.
struct ChildResult {
  int exit_code = -1;  // -1 when it did not end normally
  std::string out;     // everything written to its standard output
  std::string err;     // everything written to its standard error stream
};

// Runs `program` with `args`, writes `input` to its standard input and closes it,
// and collects both output streams until the child ends. A child still running
// after `timeout_seconds` is killed (exit_code -1).
ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input = "", int timeout_seconds = 30);

// Standard Base64 with "=" padding, to build command lines.
std::string base64Encode(const std::string& bytes);

// Splits text into its lines (without the line ends).
std::vector<std::string> splitLines(const std::string& text);

// True when `part` occurs in `text`.
bool contains(const std::string& text, const std::string& part);

// The last of the text's lines, empty for a text without lines.
std::string lastLine(const std::string& text);

}  // namespace vmtest
