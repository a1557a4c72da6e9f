#include "task_startup.h"
#include "base64_decode.h"

#include <gtest/gtest.h>

namespace {

// The decoded bytes, or "refused: <problem>".
std::string decoded(const std::string& text) {
  std::string bytes;
  std::string problem;
  if (!decodeBase64(text, bytes, problem)) {
    EXPECT_TRUE(bytes.empty());
    return "refused: " + problem;
  }
  return bytes;
}

TEST(Base64Decode, TakesStandardBase64WithItsPadding) {
  EXPECT_EQ(decoded("aGVsbG8="), "hello");
  EXPECT_EQ(decoded("aGVsbA=="), "hell");
  EXPECT_EQ(decoded("aGVs"), "hel");
  EXPECT_EQ(decoded("+/+/"), std::string("\xfb\xff\xbf"));
  EXPECT_EQ(decoded(""), "");
}

TEST(Base64Decode, RefusesTextsCutShortOrRunOnWithTheReason) {
  const std::string cutShort =
      "refused: its length 7 is not a multiple of 4: the text is cut short or lacks its '=' "
      "padding";
  EXPECT_EQ(decoded("aGVsbG8"), cutShort);  // the padding left out
  EXPECT_EQ(decoded("aGVsbG8=x"), "refused: the padding '=' at byte 7 is followed by more text");
  EXPECT_EQ(decoded("aGVsbA==aGVs"), "refused: the padding '=' at byte 6 is followed by more text");
  EXPECT_EQ(decoded("===="), "refused: the padding '=' at byte 0 is followed by more text");
  EXPECT_EQ(decoded("QR=="), "refused: its last group has bits set past the data");
  EXPECT_EQ(decoded("aGVs\nbG8="), "refused: a line break at byte 4: Base64 must be one line");
  EXPECT_EQ(decoded("aGVs bG8="), "refused: white space at byte 4: Base64 must be one line");
  EXPECT_EQ(decoded("a-_s"),
            "refused: '-' at byte 1 belongs to the URL-safe alphabet: use standard Base64 ('+' "
            "and '/')");
  EXPECT_EQ(decoded("aGV*"), "refused: byte 0x2a at byte 3 is outside the Base64 alphabet");
}

TEST(ParseArguments, TakesNameValuePairs) {
  const char* argv[] = {"prog",   "--config", "c1",       "--other", "--task",
                        "--task", "t",        "--config", "c2"};
  const CommandLine args = parseArguments(9, argv);
  EXPECT_EQ(args.program, "prog");
  EXPECT_EQ(args.task, "t");
  EXPECT_EQ(args.config, "c2");

  // "--task" as the last argument has no value: it is not given.
  const char* lone[] = {"prog", "--config", "c", "--task"};
  EXPECT_EQ(parseArguments(4, lone).task, "");
  EXPECT_EQ(parseArguments(0, nullptr).program, "");
}

}  // namespace
