#include "framework/bounded_json.h"

#include "values/json.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string nestedArrays(int count, const std::string& inner) {
  return std::string(count, '[') + inner + std::string(count, ']');
}

std::string nestedObjects(int count, const std::string& inner) {
  std::string text;
  for (int i = 0; i < count; ++i) text += "{\"a\":";
  return text + inner + std::string(count, '}');
}

bool valueReaderAccepts(const std::string& text) {
  try {
    sv::Json::load(text);
    return true;
  } catch (const sv::VarException&) {
    return false;
  }
}

bool boundedReaderAccepts(const std::string& text) {
  try {
    fw::parseBoundedJson(text);
    return true;
  } catch (const fw::JsonTooDeep&) {
    return false;
  }
}

TEST(BoundedJson, RefusesExactlyWhatTheValueReaderRefuses) {
  for (int count : {1, 199, 200, 201, 202, 5000}) {
    for (const std::string& text :
         {nestedArrays(count, ""), nestedArrays(count, "1"), nestedObjects(count, "1"),
          nestedObjects(count, "[]"), "{\"x\":" + nestedArrays(count, "true") + "}"}) {
      EXPECT_EQ(boundedReaderAccepts(text), valueReaderAccepts(text))
          << count << " levels: " << text.substr(0, 12);
    }
  }
  EXPECT_TRUE(boundedReaderAccepts(nestedArrays(201, "")));
  EXPECT_FALSE(boundedReaderAccepts(nestedArrays(201, "1")));
  try {
    fw::parseBoundedJson(nestedArrays(300, ""));
    FAIL() << "a document 300 deep was accepted";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "the JSON document nests deeper than 200 levels");
  }
}

TEST(BoundedJson, ReadsOtherDocumentsAsTheJsonLibraryDoes) {
  const std::string text = R"({"b":[1,2.5,"x",null,{"c":false}],"a":{}})";
  EXPECT_EQ(fw::parseBoundedJson(text), nlohmann::json::parse(text));
  EXPECT_THROW(fw::parseBoundedJson("[1,"), nlohmann::json::parse_error);
  EXPECT_THROW(fw::parseBoundedJson("[1] // comment"), nlohmann::json::parse_error);
  // The text is refused as soon as it is too deep, even when it would not parse anyway.
  EXPECT_THROW(fw::parseBoundedJson(std::string(100000, '[')), fw::JsonTooDeep);
}

}  // namespace
