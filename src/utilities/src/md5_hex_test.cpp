#include "md5_hex.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Known digests; an empty input may come without a buffer at all.
TEST(Md5Hex, MatchesKnownDigests) {
  EXPECT_EQ(md5Hex("", 0), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5Hex(nullptr, 0), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5Hex("abc", 3), "900150983cd24fb0d6963f7d28e17f72");
  const std::string bytes("a\0b", 3);
  EXPECT_NE(md5Hex(bytes.data(), bytes.size()), md5Hex("a", 1)) << "bytes past a zero count";
}

}  // namespace
