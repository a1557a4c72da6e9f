#pragma once

#include <string>

// Decodes standard Base64 ("A"-"Z", "a"-"z", "0"-"9", "+", "/") with its "=" padding, on one
// line, as the controlling application writes the task and configuration. Anything else is
// refused rather than guessed at, since a text cut short or run into other text would
// otherwise decode to a shorter document: false, with `problem` saying what is wrong (a length
// that is not a multiple of 4, a line break or space, the URL-safe alphabet, another byte,
// text after the padding, bits set past the data), and `bytes` left empty.
bool decodeBase64(const std::string& text, std::string& bytes, std::string& problem);
