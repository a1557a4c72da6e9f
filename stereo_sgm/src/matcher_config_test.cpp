#include "matcher_refusal_cases.h"
#include "reference_matcher.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(ReferenceMatcherChecks, RefusalTextsAndOrder) {
  for (const sgm_test::MatcherCase& c : sgm_test::matcherCases()) {
    SCOPED_TRACE(c.name);
    try {
      sgm::ReferenceMatcher m(c.width, c.height, c.disparity_size, c.src_bits, c.dst_bits, c.p);
      EXPECT_EQ(c.refusal, "") << "accepted";
    } catch (const std::logic_error& e) {
      EXPECT_EQ(e.what(), c.refusal);
    }
  }
}

TEST(ReferenceMatcher, EightBitOutputIsTheLowByteAndBorderInvalid) {
  const int width = 40, height = 30;
  std::vector<std::uint8_t> left(width * height), right(width * height);
  for (int i = 0; i < width * height; ++i) {
    left[i] = static_cast<std::uint8_t>(1 + (i * 7919) % 251);
    right[i] = static_cast<std::uint8_t>(1 + ((i + 3) * 7919) % 251);
  }
  sgm::MatcherParameters p;
  p.subpixel = false;
  p.min_disparity = 2;
  std::vector<std::uint16_t> wide(width * height);
  std::vector<std::uint8_t> narrow(width * height);
  sgm::ReferenceMatcher(width, height, 64, 8, 16, p)
      .execute(left.data(), right.data(), wide.data());
  sgm::ReferenceMatcher(width, height, 64, 8, 8, p)
      .execute(left.data(), right.data(), narrow.data());
  for (int i = 0; i < width * height; ++i) EXPECT_EQ(narrow[i], wide[i] & 0xff);
  for (int x = 0; x < width; ++x) {
    EXPECT_EQ(wide[x], 1) << x;  // invalid: minimum disparity - 1
    EXPECT_EQ(wide[(height - 1) * width + x], 1) << x;
  }
  for (int y = 0; y < height; ++y) {
    EXPECT_EQ(wide[y * width], 1);
    EXPECT_EQ(wide[y * width + width - 1], 1);
  }
}

}  // namespace
