#include "values/json.h"
#include "values/printer.h"

#include <sstream>

namespace sv {

std::string Json::dump(const Var& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

void Json::escapeString(const std::string& in, std::string& out) {
  static const char hex[] = "0123456789abcdef";
  out.reserve(out.size() + in.size() + 2);
  out += '"';
  const size_t n = in.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(in[i]);
    switch (c) {
      case '\\':
        out += "\\\\";
        continue;
      case '"':
        out += "\\\"";
        continue;
      case '\b':
        out += "\\b";
        continue;
      case '\f':
        out += "\\f";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (c < 0x20) {
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 0xF];
    } else if (c == 0xE2 && i + 2 < n && static_cast<unsigned char>(in[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(in[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(in[i + 2]) == 0xA9)) {
      // The line and paragraph separators end lines in script engines: always escaped.
      out += static_cast<unsigned char>(in[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

}  // namespace sv
