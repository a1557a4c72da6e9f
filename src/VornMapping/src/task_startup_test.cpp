#include "task_startup.h"
#include "base64_decode.h"

#include <gtest/gtest.h>

namespace {

TEST(Base64Decode, DecodesUntilTheFirstByteOutsideTheAlphabet) {
  EXPECT_EQ(base64Decode("aGVsbG8="), "hello");
  EXPECT_EQ(base64Decode("aGVsbG8"), "hello");
  EXPECT_EQ(base64Decode("aGVs\nbG8="), "hel");
  EXPECT_EQ(base64Decode("=aGVs"), "");
  EXPECT_EQ(base64Decode(""), "");
  EXPECT_EQ(base64Decode("+/+/"), std::string("\xfb\xff\xbf"));
  EXPECT_EQ(base64Decode("QQ"), "A");  // leftover bits are dropped
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
