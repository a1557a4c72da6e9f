#pragma once

#include <string>

// Decodes standard Base64 ("A"-"Z", "a"-"z", "0"-"9", "+", "/"). Decoding stops at the
// first byte outside the alphabet, so "=" padding, white space or a line break end
// the text; bits left over at the end are dropped.
std::string base64Decode(const std::string& text);
