#include "sgm_rules.h"
#include "reference_matcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace {

namespace reference = sgm::reference;

std::vector<std::uint8_t> randomImage(int width, int height, std::mt19937& rng) {
  std::uniform_int_distribution<int> value(0, 255);
  std::vector<std::uint8_t> image(static_cast<std::size_t>(width) * height);
  for (auto& v : image) v = static_cast<std::uint8_t>(value(rng));
  return image;
}

TEST(Census, SingleDifferingPixelSetsItsBit) {
  // Flat 9 x 7 window with one pixel changed: exactly one bit, at that pixel's position.
  std::vector<std::uint8_t> image(9 * 7, 100);
  image[0] = 50;  // offset (-4, -3): the first neighbour, the top bit of the 48-bit word
  EXPECT_EQ(
      reference::censusImage(image.data(), sgm::ImageType::k8Bit, 9, 7, sgm::kCensus9x7)[3 * 9 + 4],
      std::uint64_t{1} << 47);
  image[0] = 150;  // the first symmetric pair, brighter than its mirror
  EXPECT_EQ(reference::censusImage(image.data(), sgm::ImageType::k8Bit, 9, 7,
                                   sgm::kCensusSymmetric)[3 * 9 + 4],
            std::uint64_t{1} << 30);
  image[0] = 100;
  image[3 * 9 + 3] = 150;  // (-1, 0): the last pair
  EXPECT_EQ(reference::censusImage(image.data(), sgm::ImageType::k8Bit, 9, 7,
                                   sgm::kCensusSymmetric)[3 * 9 + 4],
            1u);
}

TEST(Census, MatchesDirectWindowLoopAndLeavesBorderZero) {
  std::mt19937 rng(1);
  const int width = 23, height = 17;
  const auto image = randomImage(width, height, rng);
  std::vector<std::uint16_t> wide(image.begin(), image.end());
  for (auto& v : wide) v = static_cast<std::uint16_t>(v * 257);
  auto px = [&](int x, int y) { return image[y * width + x]; };
  const auto c0 = reference::censusImage(image.data(), sgm::ImageType::k8Bit, width, height, 0);
  const auto c1 = reference::censusImage(image.data(), sgm::ImageType::k8Bit, width, height, 1);
  // 16-bit sources with the same order give the same words.
  EXPECT_EQ(reference::censusImage(wide.data(), sgm::ImageType::k16Bit, width, height, 1), c1);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * width + x;
      if (x < 4 || x >= width - 4 || y < 3 || y >= height - 3) {
        EXPECT_EQ(c0[i], 0u);
        EXPECT_EQ(c1[i], 0u);
        continue;
      }
      int bit = 47;
      std::uint64_t w0 = 0;
      for (int dy = -3; dy <= 3; ++dy)
        for (int dx = -4; dx <= 4; ++dx)
          if (dy != 0 && dx != 0 && px(x, y) > px(x + dx, y + dy))
            w0 |= std::uint64_t{1} << bit--;
          else if (dy != 0 && dx != 0)
            --bit;
      EXPECT_EQ(c0[i], w0) << x << "," << y;
      std::uint64_t w1 = 0;
      bit = 30;
      for (int n = 0; n < 31; ++n, --bit) {
        const int dx = n < 27 ? n % 9 - 4 : n - 31, dy = n < 27 ? n / 9 - 3 : 0;
        if (px(x + dx, y + dy) > px(x - dx, y - dy)) w1 |= std::uint64_t{1} << bit;
      }
      EXPECT_EQ(c1[i], w1) << x << "," << y;
    }
  }
  // Three rows from the top is written, two rows from it is not.
  EXPECT_TRUE(sgm::hasCensus(4, 3, width, height));
  EXPECT_FALSE(sgm::hasCensus(4, 2, width, height));
}

TEST(PathCost, MatchesPlainDynamicProgramming) {
  std::mt19937 rng(2);
  const int width = 13, height = 9, D = 64;
  std::vector<std::uint64_t> left(width * height), right(width * height);
  for (auto& v : left) v = rng() & 0x7fffffff;
  for (auto& v : right) v = rng() & 0x7fffffff;
  sgm::MatcherParameters p;
  p.P1 = 7;
  p.P2 = 90;
  p.min_disparity = -5;
  p.path_mode = sgm::kPathMode8;
  const auto costs = reference::aggregateCosts(left, right, width, height, D, p);
  const int dxs[8] = {0, 0, 1, -1, 1, -1, -1, 1}, dys[8] = {1, -1, 0, 0, 1, 1, -1, -1};
  const std::size_t slice = static_cast<std::size_t>(width) * height * D;
  for (int k = 0; k < 8; ++k) {
    // Walk each path from its start: L = C + min over d' of (Lp(d') + penalty) - min Lp.
    std::vector<int> L(slice, -1);
    for (int sweep = 0; sweep < width + height; ++sweep) {
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const int px = x - dxs[k], py = y - dys[k];
          const bool first = px < 0 || py < 0 || px >= width || py >= height;
          const int* prev = first ? nullptr : &L[(static_cast<std::size_t>(py) * width + px) * D];
          if (L[(static_cast<std::size_t>(y) * width + x) * D] >= 0) continue;  // done
          if (!first && prev[0] < 0) continue;  // predecessor not known yet
          const int prev_min = first ? 0 : *std::min_element(prev, prev + D);
          for (int d = 0; d < D; ++d) {
            const int xr = x - d + 5;
            const std::uint64_t r = (xr >= 0 && xr < width) ? right[y * width + xr] : 0;
            int best = 1 << 30;
            for (int e = 0; e < D; ++e) {
              const int penalty = e == d ? 0 : (std::abs(e - d) == 1 ? 7 : 90);
              best = std::min(best, (first ? 0 : prev[e]) + penalty);
            }
            L[(static_cast<std::size_t>(y) * width + x) * D + d] =
                __builtin_popcountll(left[y * width + x] ^ r) + best - prev_min;
          }
        }
      }
    }
    for (std::size_t i = 0; i < slice; ++i) ASSERT_EQ(costs[slice * k + i], L[i]) << k << " " << i;
  }
}

TEST(Median, NetworkAgreesWithNthElement) {
  std::mt19937 rng(3);
  auto check = [](std::vector<std::uint16_t> v) {
    std::uint16_t a[9];
    std::copy(v.begin(), v.end(), a);
    std::nth_element(v.begin(), v.begin() + 4, v.end());
    return sgm::median9(a) == v[4];
  };
  // Every 0/1 input: a network that selects these right selects any input right.
  for (int bits = 0; bits < 512; ++bits) {
    std::vector<std::uint16_t> v(9);
    for (int i = 0; i < 9; ++i) v[i] = (bits >> i) & 1;
    ASSERT_TRUE(check(v)) << bits;
  }
  std::uniform_int_distribution<int> value(0, 65535);
  for (int n = 0; n < 2000; ++n) {
    std::vector<std::uint16_t> v(9);
    for (auto& x : v) x = static_cast<std::uint16_t>(value(rng) % (n % 2 ? 4 : 65536));
    ASSERT_TRUE(check(v));
  }
}

TEST(WinnerTakesAll, TiesUniquenessAndRightViewBounds) {
  const int D = 64;
  sgm::MatcherParameters p;
  p.path_mode = sgm::kPathMode4;
  p.subpixel = false;
  // One pixel; every path slice holds the same costs (sums are 4 x these).
  auto run = [&](std::vector<std::uint8_t> c, float uniqueness) {
    std::vector<std::uint8_t> costs;
    for (int k = 0; k < 4; ++k) costs.insert(costs.end(), c.begin(), c.end());
    p.uniqueness = uniqueness;
    return reference::winnerTakesAll(costs, 1, 1, D, p).left[0];
  };
  std::vector<std::uint8_t> c(D, 50);
  c[5] = c[9] = 10;
  EXPECT_EQ(run(c, 1.0f), 5);                        // ties go to the smaller disparity
  EXPECT_EQ(run(c, 0.95f), sgm::kInvalidDisparity);  // 9 is a rival 4 away
  c[9] = 50;
  c[6] = 10;
  EXPECT_EQ(run(c, 0.95f), 5);  // a second minimum next to the winner is no rival

  // The right view of the last column sees only d = 0; the costs of the next row's first
  // pixel must not take part.
  const int width = 4, height = 2;
  std::vector<std::uint8_t> costs(static_cast<std::size_t>(width) * height * D * 4, 20);
  for (int k = 0; k < 4; ++k)
    costs[static_cast<std::size_t>(k) * width * height * D + 4 * D + 1] = 0;
  p.uniqueness = 0.95f;
  EXPECT_EQ(reference::winnerTakesAll(costs, width, height, D, p).right[3], 0);
}

TEST(Refinement, ParabolaAndEnds) {
  // 16 * 5 + ((30 - 20) * 16 + 30) / 60 = 83.
  EXPECT_EQ(sgm::refinedDisparity(5, 64, 30, 10, 20, true), 83);
  EXPECT_EQ(sgm::refinedDisparity(5, 64, 20, 10, 30, true), 80 - 2);  // -130 / 60 truncates
  EXPECT_EQ(sgm::refinedDisparity(0, 64, 0, 10, 20, true), 0);
  EXPECT_EQ(sgm::refinedDisparity(63, 64, 20, 10, 0, true), 63 * 16);
  EXPECT_EQ(sgm::refinedDisparity(5, 64, 30, 10, 20, false), 5);
}

TEST(Consistency, ZeroSourceInvalidAndRightViewTolerance) {
  std::vector<std::uint16_t> right = {0, 3, 3, 9, 9, 9};
  auto r = [&](int xr) { return right[xr]; };
  EXPECT_EQ(sgm::consistentDisparity(3, true, 5, 6, false, 1, r), sgm::kInvalidDisparity);
  EXPECT_EQ(sgm::consistentDisparity(sgm::kInvalidDisparity, false, 5, 6, false, 1, r),
            sgm::kInvalidDisparity);
  EXPECT_EQ(sgm::consistentDisparity(3, false, 5, 6, false, 1, r), 3);   // right(2) = 3
  EXPECT_EQ(sgm::consistentDisparity(4, false, 5, 6, false, 1, r), 4);   // 1 away: kept
  EXPECT_EQ(sgm::consistentDisparity(48, false, 5, 6, true, 1, r), 48);  // k = 3
  EXPECT_EQ(sgm::consistentDisparity(5, false, 5, 6, false, 1, r), sgm::kInvalidDisparity);
  EXPECT_EQ(sgm::consistentDisparity(7, false, 5, 6, false, 1, r), 7);   // xr < 0: kept
  EXPECT_EQ(sgm::consistentDisparity(5, false, 5, 6, false, -1, r), 5);  // check off
}

TEST(RangeCorrection, ShiftsAndMarksInvalid) {
  std::vector<std::uint16_t> v = {sgm::kInvalidDisparity, 7};
  reference::correctDisparityRange(v, false, 0);
  EXPECT_EQ(v[0], sgm::kInvalidDisparity);  // nothing to do without subpixel at minimum 0
  reference::correctDisparityRange(v, true, 0);
  EXPECT_EQ(static_cast<std::int16_t>(v[0]), -16);
  EXPECT_EQ(v[1], 7);
  v = {sgm::kInvalidDisparity, 100};
  reference::correctDisparityRange(v, true, -200);
  EXPECT_EQ(static_cast<std::int16_t>(v[0]), -201 * 16);
  EXPECT_EQ(static_cast<std::int16_t>(v[1]), 100 - 3200);
}

}  // namespace
