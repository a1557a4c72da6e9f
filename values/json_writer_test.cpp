#include "values/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace sv {
namespace {

std::string escaped(const std::string& in) {
  std::string out;
  Json::escapeString(in, out);
  return out;
}

TEST(JsonWriter, ScalarsPrintTheirJsonForms) {
  EXPECT_EQ(Json::dump(Var(42)), "42");
  EXPECT_EQ(Json::dump(Var(-7)), "-7");
  EXPECT_EQ(Json::dump(Var(true)), "true");
  EXPECT_EQ(Json::dump(Var(false)), "false");
  EXPECT_EQ(Json::dump(Var::Null()), "null");
  EXPECT_EQ(Json::dump(Var()), "undefined");
  EXPECT_EQ(Json::dump(Var("text")), "\"text\"");
  EXPECT_EQ(Json::dump(Var(std::uint64_t{5})).substr(0, 1), "<");
}

TEST(JsonWriter, DoublesUseTwelveSignificantDigits) {
  EXPECT_EQ(Json::dump(Var(1.0)), "1");
  EXPECT_EQ(Json::dump(Var(2.5)), "2.5");
  EXPECT_EQ(Json::dump(Var(0.1)), "0.1");
  EXPECT_EQ(Json::dump(Var(-0.0)), "-0");
  EXPECT_EQ(Json::dump(Var(1e20)), "1e+20");
  EXPECT_EQ(Json::dump(Var(1e-7)), "1e-07");
  EXPECT_EQ(Json::dump(Var(M_PI)), "3.14159265359");
  EXPECT_EQ(Json::dump(Var(1234567890123.5)), "1.23456789012e+12");
  EXPECT_EQ(Json::dump(Var(123456789012.0)), "123456789012");
  EXPECT_EQ(Json::dump(Var(0.000123456789012345)), "0.000123456789012");
  EXPECT_EQ(Json::dump(Var(HUGE_VAL)), "inf");
  EXPECT_EQ(Json::dump(Var(0.30000000000000004)), "0.3");
  EXPECT_EQ(Json::dump(Var(-2147483647 - 1)), "-2147483648");
}

TEST(JsonWriter, StringsAreEscaped) {
  EXPECT_EQ(escaped("a\"b"), "\"a\\\"b\"");
  EXPECT_EQ(escaped("back\\slash"), "\"back\\\\slash\"");
  EXPECT_EQ(escaped("\b\f\n\r\t"), "\"\\b\\f\\n\\r\\t\"");
  EXPECT_EQ(escaped(std::string("\x01\x1b\x1f\0", 4)), "\"\\u0001\\u001b\\u001f\\u0000\"");
  // Non-ASCII text and DEL pass through; the line and paragraph separators are escaped.
  EXPECT_EQ(escaped("\xc3\xa9\x7f/"), "\"\xc3\xa9\x7f/\"");
  EXPECT_EQ(escaped("a\xe2\x80\xa8"
                    "b\xe2\x80\xa9"),
            "\"a\\u2028b\\u2029\"");
  EXPECT_EQ(escaped("\xe2\x80\xaa\xe2\x80"), "\"\xe2\x80\xaa\xe2\x80\"");
  EXPECT_EQ(escaped(""), "\"\"");
  std::string appended = "x";
  Json::escapeString("y", appended);
  EXPECT_EQ(appended, "x\"y\"");
}

TEST(JsonWriter, ContainersPrintInBlockLayout) {
  EXPECT_EQ(Json::dump(Json::load("[]")), "[]");
  EXPECT_EQ(Json::dump(Json::load("{}")), "{}");
  EXPECT_EQ(Json::dump(Json::load("[[]]")), "[\n  []\n]");
  EXPECT_EQ(Json::dump(Json::load("[1, 2]")), "[\n  1,\n  2\n]");
  EXPECT_EQ(Json::dump(Json::load("[1, [2, [3, {}]], {\"k\": [true, null]}]")),
            "[\n"
            "  1,\n"
            "  [\n"
            "    2,\n"
            "    [\n"
            "      3,\n"
            "      {}\n"
            "    ]\n"
            "  ],\n"
            "  {\n"
            "    \"k\" : [\n"
            "      true,\n"
            "      null\n"
            "    ]\n"
            "  }\n"
            "]");
}

TEST(JsonWriter, ObjectMembersPrintInAscendingKeyOrder) {
  const Var value =
      Json::load("{zeta: 1, \"Alpha\": 2, beta: {y: 0.5, x: \"\\u00e9\"}, \"a b\": []}");
  EXPECT_EQ(Json::dump(value),
            "{\n"
            "  \"Alpha\" : 2,\n"
            "  \"a b\" : [],\n"
            "  \"beta\" : {\n"
            "    \"x\" : \"\xc3\xa9\",\n"
            "    \"y\" : 0.5\n"
            "  },\n"
            "  \"zeta\" : 1\n"
            "}");
  EXPECT_EQ(Json::dump(Json::load("{\"q\\\"k\": 1}")), "{\n  \"q\\\"k\" : 1\n}");
}

TEST(JsonWriter, DocumentBuiltByElementAccessPrintsSorted) {
  Var tileset;
  tileset["asset"]["version"] = Var("1.0");
  tileset["geometricError"] = Var(500.0);
  Var& root = tileset["root"];
  root["refine"] = Var("ADD");
  root["geometricError"] = Var(12.3456789012345);
  root["boundingVolume"]["box"] = Var(std::vector<double>{1.5, -2.0, 1e-5, 123456.789012345});
  root["content"]["uri"] = Var("tiles/0.pnts");
  root["children"] = Var(std::vector<Var>());
  EXPECT_EQ(Json::dump(tileset),
            "{\n"
            "  \"asset\" : {\n"
            "    \"version\" : \"1.0\"\n"
            "  },\n"
            "  \"geometricError\" : 500,\n"
            "  \"root\" : {\n"
            "    \"boundingVolume\" : {\n"
            "      \"box\" : [\n"
            "        1.5,\n"
            "        -2,\n"
            "        1e-05,\n"
            "        123456.789012\n"
            "      ]\n"
            "    },\n"
            "    \"children\" : [],\n"
            "    \"content\" : {\n"
            "      \"uri\" : \"tiles/0.pnts\"\n"
            "    },\n"
            "    \"geometricError\" : 12.3456789012,\n"
            "    \"refine\" : \"ADD\"\n"
            "  }\n"
            "}");
}

TEST(JsonWriter, ValuesOfOtherKindsChangeKindOnTheWayBack) {
  EXPECT_EQ(Json::load(Json::dump(Var(3.0))).as<int>(), 3);
  EXPECT_EQ(Json::load(Json::dump(Var())).as<std::string>(), "undefined");
  EXPECT_EQ(Json::load(Json::dump(Var(1234567890123.5))).as<double>(), 1234567890120.0);
}

TEST(JsonWriter, ContainerHoldingItselfEndsWithAMarker) {
  Var array = Json::load("[1]");
  array.push_back(array);
  EXPECT_EQ(Json::dump(array), "[\n  1,\n  [...]\n]");
  Var object = Json::load("{a: [2]}");
  object["a"].push_back(object);
  EXPECT_EQ(Json::dump(object), "{\n  \"a\" : [\n    2,\n    {...}\n  ]\n}");
  // Break the cycles so the values are freed.
  array.as<VarArray>().value.pop_back();
  object["a"].as<VarArray>().value.pop_back();
}

// A random value of the kinds that survive printing and reading unchanged.
class RoundTripValues {
 public:
  explicit RoundTripValues(unsigned seed) : random_(seed) {}

  Var make(int depth) {
    const int kind = pick(depth > 3 ? 5 : 7);
    switch (kind) {
      case 0:
        return Var(pick(199999999) - 99999999);  // at most nine characters
      case 1:
        return Var(nonIntegralDouble());
      case 2:
        return Var(text());
      case 3:
        return Var(pick(2) == 1);
      case 4:
        return Var::Null();
      case 5: {
        std::vector<Var> elements;
        for (int i = pick(5); i > 0; --i) elements.push_back(make(depth + 1));
        return Var(elements);
      }
      default: {
        VarObject::Map members;
        for (int i = pick(5); i > 0; --i) members.emplace(text(), make(depth + 1));
        return Var(members);
      }
    }
  }

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }

  double nonIntegralDouble() {
    for (;;) {
      const double mantissa = std::uniform_real_distribution<double>(-1.0, 1.0)(random_);
      const double value = std::stod(Json::dump(Var(mantissa * std::pow(10.0, pick(30) - 15))));
      if (value != std::floor(value)) return value;
    }
  }

  std::string text() {
    static const char* pieces[] = {
        "a",  "Z",  "_",    " ",        "\"",           "\\",
        "\n", "\t", "\x01", "\xc3\xa9", "\xe2\x80\xa8", "\xf0\x9f\x98\x80",
        "/",  "{",  "]"};
    std::string out;
    for (int i = pick(6); i > 0; --i) out += pieces[pick(15)];
    return out;
  }

  std::mt19937 random_;
};

TEST(JsonWriter, DumpLoadDumpGivesTheSameText) {
  RoundTripValues values(20240131);
  for (int i = 0; i < 300; ++i) {
    const std::string first = Json::dump(values.make(0));
    const std::string second = Json::dump(Json::load(first));
    ASSERT_EQ(first, second);
  }
}

}  // namespace
}  // namespace sv
