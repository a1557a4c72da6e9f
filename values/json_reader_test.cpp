#include "values/json.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace sv {
namespace {

// The message of the VarException that loading text throws, or "" when it does not throw.
std::string loadError(const std::string& text) {
  try {
    Json::load(text);
  } catch (const VarException& e) {
    return e.what();
  }
  return "";
}

const std::vector<Var>& elementsOf(const Var& value) { return value.as<VarArray>().value; }
const VarObject::Map& membersOf(const Var& value) { return value.as<VarObject>().value; }

std::string nested(int depth, const std::string& inner) {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(JsonReader, NumbersOfAtMostNineCharactersAreInts) {
  EXPECT_EQ(Json::load("123456789").as<int>(), 123456789);
  EXPECT_EQ(Json::load("-12345678").as<int>(), -12345678);
  EXPECT_EQ(Json::load("0").as<int>(), 0);
  EXPECT_EQ(Json::load("-0").as<int>(), 0);
  EXPECT_EQ(Json::load(" 42 ").as<int>(), 42);

  const Var longNegative = Json::load("-123456789");
  ASSERT_TRUE(longNegative.is<double>());
  EXPECT_EQ(longNegative.as<double>(), -123456789.0);
  const Var tenDigits = Json::load("1234567890");
  ASSERT_TRUE(tenDigits.is<double>());
  EXPECT_EQ(tenDigits.as<double>(), 1234567890.0);
  const Var exponent = Json::load("1e2");
  ASSERT_TRUE(exponent.is<double>());
  EXPECT_EQ(exponent.as<double>(), 100.0);
  EXPECT_EQ(Json::load("-2.5E-3").as<double>(), -0.0025);
  EXPECT_EQ(Json::load("0.5").as<double>(), 0.5);
  EXPECT_TRUE(Json::load("1.0").is<double>());
}

TEST(JsonReader, MalformedNumbersThrow) {
  EXPECT_EQ(loadError("01"), "leading 0s not permitted in numbers");
  EXPECT_EQ(loadError("-01"), "leading 0s not permitted in numbers");
  EXPECT_EQ(loadError("1."), "at least one digit required in fractional part");
  EXPECT_EQ(loadError("1.e5"), "at least one digit required in fractional part");
  EXPECT_EQ(loadError("1e+"), "at least one digit required in exponent");
  EXPECT_EQ(loadError("1E"), "at least one digit required in exponent");
  EXPECT_EQ(loadError("-"), "invalid (0) in number");
  EXPECT_EQ(loadError("-a"), "invalid 'a' (97) in number");
  EXPECT_EQ(loadError(".5"), "expected value, got '.' (46)");
  EXPECT_EQ(loadError("+1"), "expected value, got '+' (43)");
}

// Builds a locale with a decimal comma inside dir and switches LC_NUMERIC to it; false
// when the machine has no locale sources to build it from.
bool useCommaLocale(const std::filesystem::path& dir) {
  const std::string command =
      "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8").string() + "' > /dev/null 2>&1";
  if (std::system(command.c_str()) == -1) return false;
  setenv("LOCPATH", dir.c_str(), 1);
  const bool switched = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
  unsetenv("LOCPATH");
  return switched;
}

TEST(JsonReader, NumbersIgnoreTheProcessLocale) {
  vmtest::TempDir dir;
  if (!useCommaLocale(dir.path()))
    GTEST_SKIP() << "no locale with a decimal comma can be made here";
  const Var value = Json::load("[1.5, 2e-1, 1234567890.25]");
  const std::string printed = Json::dump(Var(0.5));
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(elementsOf(value)[0].as<double>(), 1.5);
  EXPECT_EQ(elementsOf(value)[1].as<double>(), 0.2);
  EXPECT_EQ(elementsOf(value)[2].as<double>(), 1234567890.25);
  EXPECT_EQ(printed, "0.5");
}

TEST(JsonReader, TrailingTextAndSeparatorsThrow) {
  EXPECT_EQ(loadError("1 2"), "unexpected trailing '2' (50)");
  EXPECT_EQ(loadError("[1 2]"), "expected ',' in list, got '2' (50)");
  EXPECT_EQ(loadError("[1,]"), "expected value, got ']' (93)");
  EXPECT_EQ(loadError("{\"a\" 1}"), "expected ':' in object, got '1' (49)");
  EXPECT_EQ(loadError("{\"a\":1 \"b\":2}"), "expected ',' in object, got '\"' (34)");
  EXPECT_EQ(loadError("{1:2}"), "expected '\"' in object, got '1' (49)");
  EXPECT_EQ(loadError("trueish"), "unexpected trailing 'i' (105)");
  // A throwing failure may follow a quiet one: the end of the text is then shown as (0).
  EXPECT_EQ(loadError("[1"), "expected ',' in list, got (0)");
  EXPECT_EQ(loadError("{"), "expected '\"' in object, got (0)");
  EXPECT_EQ(loadError("{a:1"), "expected ',' in object, got (0)");
  // Bytes of 0x80 and above show as negative numbers and start no bare word.
  EXPECT_EQ(loadError("\xc3\xa9"), "expected value, got (-61)");
  EXPECT_EQ(loadError("[x\xff]"), "expected ',' in list, got (-1)");
  EXPECT_EQ(loadError("\x01"), "expected value, got (1)");
}

TEST(JsonReader, QuietFailuresGiveUndefined) {
  const char* texts[] = {
      "",           // nothing at all
      "  \r\n\t ",  // only blanks
      "// only a comment",
      "/",   // a lone slash
      "/x",  // malformed comment
      "[1] /* never closed",
      "[",
      "[1,",
      "{\"a\":",
      "\"unterminated",
      "\"tab\there\"",  // a raw control byte inside a string
      "\"\\q\"",        // unknown escape letter
      "\"\\u12\"",      // \u with two hexadecimal digits
      "\"\\u12",
      "\"\\uzzzz\"",
      "\"ends with backslash\\",
      "<no closing bracket",
      "[<open span, 1, 2",
  };
  for (const char* text : texts) {
    Var value;
    ASSERT_NO_THROW(value = Json::load(text)) << text;
    EXPECT_TRUE(value.isUndefined()) << text;
  }
}

TEST(JsonReader, FailureOperationsKeepTheFirstMessage) {
  Json parser("[1", 1);
  EXPECT_EQ(parser.getNextToken(), '[');
  EXPECT_EQ(parser.getNextToken(), '1');
  EXPECT_EQ(parser.getNextToken(), 0);
  EXPECT_TRUE(parser.failed);
  EXPECT_EQ(parser.error, "unexpected end of input");
  EXPECT_THROW(parser.failThrow("later"), VarException);
  EXPECT_EQ(parser.error, "unexpected end of input");
  // The token reader keeps answering 0 once it has failed.
  EXPECT_EQ(parser.getNextToken(), 0);
}

TEST(JsonReader, EscShowsPrintableBytesWithTheirCodes) {
  EXPECT_EQ(Json::esc('x'), "'x' (120)");
  EXPECT_EQ(Json::esc('\n'), "(10)");
  EXPECT_EQ(Json::esc('\0'), "(0)");
  EXPECT_EQ(Json::esc('\x7f'), "'\x7f' (127)");
  EXPECT_EQ(Json::esc('\xc3'), "(-61)");
}

TEST(JsonReader, BareWordsAndKeys) {
  const Var object = Json::load("{a:1, b_2:x}");
  ASSERT_TRUE(object.isObject());
  EXPECT_EQ(membersOf(object).size(), 2u);
  EXPECT_EQ(membersOf(object).at("a").as<int>(), 1);
  EXPECT_EQ(membersOf(object).at("b_2").as<std::string>(), "x");

  const Var words = Json::load("[abc, nan, True, nul, fals, _x9, n]");
  const std::vector<std::string> expected = {"abc", "nan", "True", "nul", "fals", "_x9", "n"};
  ASSERT_EQ(elementsOf(words).size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(elementsOf(words)[i].as<std::string>(), expected[i]);
  }
  // "true" is matched before the word is read on: truex is true followed by a trailing x.
  EXPECT_EQ(loadError("truex"), "unexpected trailing 'x' (120)");

  EXPECT_EQ(Json::load("true").as<bool>(), true);
  EXPECT_EQ(Json::load("false").as<bool>(), false);
  EXPECT_TRUE(Json::load("null").isNull());
}

TEST(JsonReader, DuplicateKeysKeepTheFirstValue) {
  const Var object = Json::load("{\"a\": 1, \"b\": 2, \"a\": 3}");
  EXPECT_EQ(membersOf(object).size(), 2u);
  EXPECT_EQ(membersOf(object).at("a").as<int>(), 1);
}

TEST(JsonReader, ContainersKeepTextOrderAndNesting) {
  const Var value = Json::load("[1, [2, [3]], {\"k\": [true, null]}, [], {}]");
  const auto& outer = elementsOf(value);
  ASSERT_EQ(outer.size(), 5u);
  EXPECT_EQ(outer[0].as<int>(), 1);
  EXPECT_EQ(elementsOf(outer[1])[0].as<int>(), 2);
  EXPECT_EQ(elementsOf(elementsOf(outer[1])[1])[0].as<int>(), 3);
  EXPECT_TRUE(elementsOf(membersOf(outer[2]).at("k"))[1].isNull());
  EXPECT_TRUE(outer[3].isArray());
  EXPECT_EQ(outer[3].length(), 0u);
  EXPECT_TRUE(outer[4].isObject());
  EXPECT_EQ(outer[4].length(), 0u);
}

TEST(JsonReader, AngleSpansReadAsUndefined) {
  EXPECT_TRUE(Json::load("<any bytes, [ { here>").isUndefined());
  const Var inside = Json::load("[<x>]");
  ASSERT_TRUE(inside.isArray());
  ASSERT_EQ(inside.length(), 1u);
  EXPECT_TRUE(elementsOf(inside)[0].isUndefined());
  const Var between = Json::load("[1, <skipped>, 2]");
  ASSERT_EQ(between.length(), 3u);
  EXPECT_EQ(elementsOf(between)[2].as<int>(), 2);
}

TEST(JsonReader, CommentsAreSkippedAnywhereBetweenTokens) {
  const Var value = Json::load(
      "// leading\n{ /* a */ \"a\" /**/ : // line\n 1 /* b */ , b : [2 /* c */, 3] } // trailing");
  EXPECT_EQ(membersOf(value).at("a").as<int>(), 1);
  EXPECT_EQ(membersOf(value).at("b").length(), 2u);
  // A slash, a star and a slash do not close the comment they open.
  EXPECT_TRUE(Json::load("1 /*/").isUndefined());
  // With the standard strategy a comment is a syntax error.
  Json strict("1 // c", 0);
  strict.parseJson(0);
  strict.consumeGarbage();
  EXPECT_FALSE(strict.failed);
  EXPECT_NE(strict.position, strict.text.size());
}

TEST(JsonReader, StringEscapesAndUnicode) {
  EXPECT_EQ(Json::load("\"\\u00e9\"").as<std::string>(), "\xc3\xa9");
  EXPECT_EQ(Json::load("\"\\ud83d\\ude00\"").as<std::string>(), "\xf0\x9f\x98\x80");
  EXPECT_EQ(Json::load("\"\\uD83D\\uDE00!\"").as<std::string>(), "\xf0\x9f\x98\x80!");
  // Lone surrogates are written by themselves, in three bytes.
  EXPECT_EQ(Json::load("\"\\ud800\"").as<std::string>(), "\xed\xa0\x80");
  EXPECT_EQ(Json::load("\"\\ud800x\"").as<std::string>(), "\xed\xa0\x80x");
  EXPECT_EQ(Json::load("\"\\ude00\\ud83d\"").as<std::string>(), "\xed\xb8\x80\xed\xa0\xbd");
  EXPECT_EQ(Json::load("\"\\u0041\\u07ff\\uffff\"").as<std::string>(), "A\xdf\xbf\xef\xbf\xbf");
  EXPECT_EQ(Json::load("\"\\b\\f\\n\\r\\t\\\"\\/\\\\\"").as<std::string>(), "\b\f\n\r\t\"/\\");
  // UTF-8 and other high bytes pass through unchanged.
  EXPECT_EQ(Json::load("\"\xe6\x97\xa5\xff\"").as<std::string>(), "\xe6\x97\xa5\xff");
  EXPECT_EQ(Json::load("\"\"").as<std::string>(), "");
}

TEST(JsonReader, NestingDepthIsLimited) {
  const Var deepest = Json::load(nested(201, ""));
  ASSERT_TRUE(deepest.isArray());
  Var inner = deepest;
  int depth = 1;
  while (inner.length() > 0) {
    inner = elementsOf(inner)[0];
    ++depth;
  }
  EXPECT_EQ(depth, 201);
  EXPECT_EQ(loadError(nested(201, "1")), "exceeded maximum nesting depth");
  EXPECT_EQ(loadError(nested(202, "")), "exceeded maximum nesting depth");
  EXPECT_EQ(Json::load(nested(200, "1")).length(), 1u);
  std::string objects;
  for (int i = 0; i < 201; ++i) objects += "{a:";
  EXPECT_EQ(loadError(objects + "1" + std::string(201, '}')), "exceeded maximum nesting depth");
  // Far deeper texts fail at the limit instead of exhausting the stack.
  EXPECT_EQ(loadError(std::string(100000, '[')), "exceeded maximum nesting depth");
}

TEST(JsonReader, NumberIsFollowedByAnythingUnexamined) {
  Json parser("12abc", 1);
  EXPECT_EQ(parser.parseNumber().as<int>(), 12);
  EXPECT_EQ(parser.position, 2u);
}

}  // namespace
}  // namespace sv
