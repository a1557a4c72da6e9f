#include "frame_list.h"

#include "dataset.h"

#include "framework/bounded_json.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using nlohmann::json;

std::vector<unsigned char> bytesOf(const std::string& text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

std::vector<json> documentsOf(const std::string& text) {
  std::vector<json> documents;
  readFrameList(bytesOf(text), [&](const json& doc) { documents.push_back(doc); });
  return documents;
}

TEST(FrameListReading, KeepsOnlyWhatAFrameDocumentHolds) {
  const std::vector<json> documents = documentsOf(R"([
    {"uri": "a.jpg", "notes": [1, 2, {"x": 3}], "camera": {"make": "x"},
     "gps": {"longitude": 1.5, "latitude": 2, "altitude": 3, "fix": {"sats": 9}, "raw": [1]},
     "calibration": {"width": 40, "height": 30, "fx": 30, "fy": 30, "cx": 20, "cy": 15,
                     "k1": 0.1, "serial": "123"}},
    [1, 2, 3], 7, null, "b.jpg"])");
  ASSERT_EQ(documents.size(), 5u);
  EXPECT_EQ(documents[0], json::parse(R"({"uri": "a.jpg",
     "gps": {"longitude": 1.5, "latitude": 2, "altitude": 3},
     "calibration": {"width": 40, "height": 30, "fx": 30, "fy": 30, "cx": 20, "cy": 15,
                     "k1": 0.1}})"));
  // Documents that are not objects still reach the reader, which refuses them.
  EXPECT_EQ(documents[1], json::array());
  EXPECT_EQ(documents[2], 7);
  EXPECT_EQ(documents[3], nullptr);
  EXPECT_EQ(documents[4], "b.jpg");
  EXPECT_TRUE(documentsOf("[]").empty());
  EXPECT_TRUE(documentsOf("null").empty());
  EXPECT_TRUE(documentsOf("{}").empty());
}

TEST(FrameListReading, RefusesListsTooDeepTooLongOrNotLists) {
  auto refusal = [](const std::string& text) {
    size_t taken = 0;
    try {
      readFrameList(bytesOf(text), [&](const json&) { ++taken; });
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return "accepted " + std::to_string(taken);
  };
  const std::string deep = "[{\"uri\":\"a\",\"x\":" + std::string(300, '[') + "]}]";
  EXPECT_EQ(refusal(deep), "the JSON document nests deeper than 200 levels");
  EXPECT_EQ(refusal(std::string(1000000, '[')), "the JSON document nests deeper than 200 levels");
  // At the limit: the list at depth 0, the innermost array at 200.
  EXPECT_EQ(refusal("[{\"x\":" + std::string(199, '[') + std::string(199, ']') + "}]"),
            "accepted 1");

  std::string many = "[0";
  for (size_t i = 1; i < kMaxFrameListDocuments; ++i) many += ",0";
  EXPECT_EQ(refusal(many + "]"), "accepted " + std::to_string(kMaxFrameListDocuments));
  EXPECT_EQ(refusal(many + ",0]"), "the frame list holds more than 100000 documents");

  for (const std::string text : {R"({"uri": "a.jpg"})", R"("a.jpg")", "5", "true"})
    EXPECT_EQ(refusal(text), "the frame list is not an array of frame documents") << text;
  EXPECT_THROW(documentsOf(R"([{"uri": )"), json::parse_error);
}

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && \
    !__has_feature(address_sanitizer) && !__has_feature(thread_sanitizer)
// The sanitizers reserve far more address space than a limit near the process's own size.
// Exits 0 when both 40 MB lists, read whole a gigabyte or more each, are read within 32 MiB
// more than the process holds: one of nested arrays (refused) and one whose single document
// carries ten million numbers the frame documents do not have (read).
void readHostileListsUnderAddressLimit() {
  const std::vector<unsigned char> deep =
      bytesOf(std::string(20'000'000, '[') + std::string(20'000'000, ']'));
  std::string wideText = "[{\"uri\":\"a.jpg\",\"junk\":[0";
  for (int i = 0; i < 10'000'000; ++i) wideText += ",0";
  wideText += "]}]";
  const std::vector<unsigned char> wide = bytesOf(wideText);
  wideText = std::string();
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t limit = static_cast<rlim_t>(pages) * ::getpagesize() + (32 << 20);
  const rlimit room{limit, limit};
  setrlimit(RLIMIT_AS, &room);
  bool deepRefused = false;
  try {
    readFrameList(deep, [](const json&) {});
  } catch (const fw::JsonTooDeep&) {
    deepRefused = true;
  } catch (...) {
  }
  size_t documents = 0;
  try {
    readFrameList(wide, [&](const json& doc) { documents += doc.size() == 1 ? 1 : 100; });
  } catch (...) {
  }
  std::exit(deepRefused && documents == 1 ? 0 : 1);
}

TEST(FrameListReadingDeathTest, HostileListsAreReadWithinLittleMemory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(readHostileListsUnderAddressLimit(), testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
