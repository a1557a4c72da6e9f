#include "framework/bounded_json.h"

#include "values/json.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
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

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && \
    !__has_feature(address_sanitizer) && !__has_feature(thread_sanitizer)
// The sanitizers reserve far more address space than a limit near the process's own size.
// Exits 0 when a 40 MB text of nested arrays is refused within 64 MiB more than the process
// holds already (read whole, such a text takes over a gigabyte).
void parseDeepTextUnderAddressLimit() {
  const std::string text = nestedArrays(20'000'000, "");
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t limit = static_cast<rlim_t>(pages) * ::getpagesize() + (64 << 20);
  const rlimit room{limit, limit};
  setrlimit(RLIMIT_AS, &room);
  try {
    fw::parseBoundedJson(text);
  } catch (const fw::JsonTooDeep&) {
    std::exit(0);
  } catch (...) {
  }
  std::exit(1);
}

TEST(BoundedJsonDeathTest, ADeepTextIsRefusedWithinLittleMemory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(parseDeepTextUnderAddressLimit(), testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
