#include "values/json.h"

#include <locale.h>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sv {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Numbers are read in the "C" locale whatever the process locale says, so a comma
// locale never changes what "1.5" means.
locale_t cLocale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

}  // namespace

Json::Json(const std::string& input, int strategyIn) : text(input), strategy(strategyIn) {
  for (int c = 0; c < 256; ++c) {
    if (c >= '0' && c <= '9') {
      charClass[c] = 1;
    } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_') {
      charClass[c] = 2;
    } else {
      charClass[c] = 0;
    }
  }
}

Var Json::load(const std::string& text) {
  Json parser(text, 1);
  Var value = parser.parseJson(0);
  parser.consumeGarbage();
  if (parser.failed) return Var::Undefined();
  if (parser.position != parser.text.size()) {
    parser.failThrow("unexpected trailing " + esc(parser.peek()));
  }
  return value;
}

void Json::fail(const std::string& message) {
  if (!failed) {
    error = message;
    failed = true;
  }
}

void Json::failThrow(const std::string& message) {
  fail(message);
  throw VarException(Var(message));
}

std::string Json::esc(char c) {
  char buf[16];
  const unsigned char byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte <= 0x7F) {
    std::snprintf(buf, sizeof buf, "'%c' (%d)", c, static_cast<int>(byte));
  } else {
    std::snprintf(buf, sizeof buf, "(%d)", static_cast<int>(static_cast<signed char>(c)));
  }
  return buf;
}

void Json::consumeWhitespace() {
  while (position < text.size()) {
    const char c = text[position];
    if (c != ' ' && c != '\r' && c != '\n' && c != '\t') break;
    ++position;
  }
}

bool Json::consumeComment() {
  if (peek() != '/') return false;
  ++position;
  if (position >= text.size()) {
    fail("unexpected end of input after start of comment");
    return false;
  }
  if (text[position] == '/') {
    ++position;
    while (position < text.size() && text[position] != '\n') ++position;
    return true;
  }
  if (text[position] == '*') {
    ++position;
    const size_t end = text.find("*/", position);
    if (end == std::string::npos) {
      fail("unexpected end of input inside multi-line comment");
      return false;
    }
    position = end + 2;
    return true;
  }
  fail("malformed comment");
  return false;
}

void Json::consumeGarbage() {
  consumeWhitespace();
  if (strategy != 1) return;
  bool found;
  do {
    found = consumeComment();
    if (failed) break;
    consumeWhitespace();
  } while (found);
}

char Json::getNextToken() {
  consumeGarbage();
  if (failed) return 0;
  if (position >= text.size()) {
    fail("unexpected end of input");
    return 0;
  }
  return text[position++];
}

Var Json::parseJson(int depth) {
  if (depth > maxDepth) failThrow("exceeded maximum nesting depth");
  const char ch = getNextToken();
  if (failed) return Var::Undefined();
  if (ch == '-' || isDigit(ch)) {
    --position;
    return parseNumber();
  }
  switch (ch) {
    case 't':
      return expect("true", Var(true));
    case 'f':
      return expect("false", Var(false));
    case 'n':
      return expect("null", Var::Null());
    case '"':
      return Var(parseString());
    case '[':
      return parseArray(depth);
    case '{':
      return parseObject(depth);
    case '<':
      // A span in angle brackets is dropped. One left open ends with the text: the
      // token reader has then failed quietly and returns 0 from here on.
      while (getNextToken() != '>' && !failed) {
      }
      return Var::Undefined();
    default:
      break;
  }
  if (classOf(ch) == 2) return parseWord();
  failThrow("expected value, got " + esc(ch));
}

Var Json::parseArray(int depth) {
  std::vector<Var> elements;
  char ch = getNextToken();
  if (ch == ']') return Var(elements);
  for (;;) {
    if (!failed) --position;  // the element starts at the byte just read
    elements.push_back(parseJson(depth + 1));
    if (failed) return Var::Undefined();
    ch = getNextToken();
    if (ch == ']') break;
    if (ch != ',') failThrow("expected ',' in list, got " + esc(ch));
    ch = getNextToken();
  }
  return Var(std::move(elements));
}

Var Json::parseObject(int depth) {
  std::unordered_map<std::string, Var> members;
  char ch = getNextToken();
  if (ch == '}') return Var(members);
  for (;;) {
    std::string key;
    if (ch == '"') {
      key = parseString();
    } else if (classOf(ch) == 2) {
      const uint64_t start = position - 1;
      while (classOf(peek()) != 0) ++position;
      key = text.substr(start, position - start);
    } else {
      failThrow("expected '\"' in object, got " + esc(ch));
    }
    if (failed) return Var::Undefined();
    ch = getNextToken();
    if (ch != ':') failThrow("expected ':' in object, got " + esc(ch));
    Var value = parseJson(depth + 1);
    members.emplace(std::move(key), std::move(value));  // of duplicate keys the first wins
    if (failed) return Var::Undefined();
    ch = getNextToken();
    if (ch == '}') break;
    if (ch != ',') failThrow("expected ',' in object, got " + esc(ch));
    ch = getNextToken();
  }
  return Var(std::move(members));
}

Var Json::expect(const std::string& word, const Var& value) {
  --position;  // back to the first letter
  if (text.compare(position, word.size(), word) == 0) {
    position += word.size();
    return value;
  }
  ++position;
  return parseWord();
}

Var Json::parseWord() {
  const uint64_t start = position - 1;
  while (classOf(peek()) != 0) ++position;
  return Var(text.substr(start, position - start));
}

void Json::skipDigits() {
  while (isDigit(peek())) ++position;
}

Var Json::parseNumber() {
  const uint64_t start = position;
  if (peek() == '-') ++position;
  if (peek() == '0') {
    ++position;
    if (isDigit(peek())) failThrow("leading 0s not permitted in numbers");
  } else if (peek() >= '1' && peek() <= '9') {
    skipDigits();
  } else {
    failThrow("invalid " + esc(peek()) + " in number");
  }

  char ch = peek();
  if (ch != '.' && ch != 'e' && ch != 'E' && position - start < 10) {
    // At most nine characters: fits an int, read without strtod.
    uint64_t i = start;
    const bool negative = text[i] == '-';
    if (negative) ++i;
    int value = 0;
    for (; i < position; ++i) value = value * 10 + (text[i] - '0');
    return Var(negative ? -value : value);
  }
  if (ch == '.') {
    ++position;
    if (!isDigit(peek())) failThrow("at least one digit required in fractional part");
    skipDigits();
    ch = peek();
  }
  if (ch == 'e' || ch == 'E') {
    ++position;
    if (peek() == '+' || peek() == '-') ++position;
    if (!isDigit(peek())) failThrow("at least one digit required in exponent");
    skipDigits();
  }
  const std::string number = text.substr(start, position - start);
  return Var(strtod_l(number.c_str(), nullptr, cLocale()));
}

// One pass over the string's bytes: escapes, \u code points and their surrogate pairs share
// the pending state below, which is why the parser stays one function.
std::string Json::parseString() {
  std::string out;
  long pending = -1;  // a \u code point not yet written: it may open a surrogate pair
  for (;;) {
    if (position >= text.size()) {
      fail("unexpected end of input in string");
      return std::string();
    }
    const char ch = text[position++];
    if (ch == '"') {
      encodeUtf8(pending, out);
      return out;
    }
    if (static_cast<unsigned char>(ch) < 0x20) {
      fail("unescaped " + esc(ch) + " in string");
      return std::string();
    }
    if (ch != '\\') {
      encodeUtf8(pending, out);
      pending = -1;
      // Copy the whole run of plain bytes at once.
      const uint64_t start = position - 1;
      while (position < text.size()) {
        const unsigned char next = static_cast<unsigned char>(text[position]);
        if (next == '"' || next == '\\' || next < 0x20) break;
        ++position;
      }
      out.append(text, start, position - start);
      continue;
    }
    if (position >= text.size()) {
      fail("unexpected end of input in string");
      return std::string();
    }
    const char e = text[position++];
    if (e == 'u') {
      const std::string digits = text.substr(position, 4);
      long cp = 0;
      bool good = digits.size() == 4;
      for (char d : digits) {
        const int v = hexValue(d);
        if (v < 0) good = false;
        cp = cp * 16 + v;
      }
      if (!good) {
        fail("bad \\u escape: " + digits);
        return std::string();
      }
      if (pending >= 0xD800 && pending <= 0xDBFF && cp >= 0xDC00 && cp <= 0xDFFF) {
        encodeUtf8((((pending - 0xD800) << 10) | (cp - 0xDC00)) + 0x10000, out);
        pending = -1;
      } else {
        encodeUtf8(pending, out);
        pending = cp;
      }
      position += 4;
      continue;
    }
    encodeUtf8(pending, out);
    pending = -1;
    switch (e) {
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case '"':
      case '/':
      case '\\':
        out += e;
        break;
      default:
        fail("invalid escape character " + esc(e));
        return std::string();
    }
  }
}

void Json::encodeUtf8(long pt, std::string& out) {
  if (pt < 0) return;
  if (pt < 0x80) {
    out += static_cast<char>(pt);
  } else if (pt < 0x800) {
    out += static_cast<char>((pt >> 6) | 0xC0);
    out += static_cast<char>((pt & 0x3F) | 0x80);
  } else if (pt < 0x10000) {
    out += static_cast<char>((pt >> 12) | 0xE0);
    out += static_cast<char>(((pt >> 6) & 0x3F) | 0x80);
    out += static_cast<char>((pt & 0x3F) | 0x80);
  } else {
    out += static_cast<char>((pt >> 18) | 0xF0);
    out += static_cast<char>(((pt >> 12) & 0x3F) | 0x80);
    out += static_cast<char>(((pt >> 6) & 0x3F) | 0x80);
    out += static_cast<char>((pt & 0x3F) | 0x80);
  }
}

}  // namespace sv
