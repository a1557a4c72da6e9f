#include "framework/printable_text.h"

#include <cstdio>

namespace fw {

bool hasNulByte(const std::string& text) { return text.find('\0') != std::string::npos; }

std::string printableText(const std::string& text) {
  bool plain = true;
  for (const char c : text) plain = plain && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f;
  if (plain) return text;
  std::string escaped = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        escaped += "\\\"";
        break;
      case '\\':
        escaped += "\\\\";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\r':
        escaped += "\\r";
        break;
      case '\t':
        escaped += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7f) {
          char code[8];
          std::snprintf(code, sizeof code, "\\u%04x", byte);
          escaped += code;
        } else {
          escaped += c;
        }
    }
  }
  return escaped + "\"";
}

}  // namespace fw
