#pragma once

#include <string>

namespace fw {

// True when the text holds a NUL byte: such a text cannot name a file or a method, since
// the operating system and C strings end it at the NUL.
bool hasNulByte(const std::string& text);

// The text as it stands when it holds no control byte; otherwise the whole text quoted and
// escaped (\n, \t, \u0000, ...), so that a message shows every byte of it.
std::string printableText(const std::string& text);

}  // namespace fw
