#include "descriptor_matching.h"

#include <gtest/gtest.h>
#include <opencv2/features2d.hpp>

#include <cmath>
#include <limits>

namespace sfm {
namespace {

// Every binary search runs both ways: with the processor's wide population count where it
// has one, and with the path every other processor takes. Both must meet the same
// expectations.
class DescriptorMatching : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { allowWideVectors(GetParam()); }
  void TearDown() override { allowWideVectors(true); }
};
INSTANTIATE_TEST_SUITE_P(WideAllowed, DescriptorMatching, ::testing::Bool());

// The fast binary search must find what OpenCV's exhaustive matcher finds: the same two
// distances for every query, and the same nearest row wherever that row is unique.
TEST_P(DescriptorMatching, BinarySearchAgreesWithTheExhaustiveMatcher) {
  cv::RNG rng(7);
  cv::Mat train(300, 32, CV_8U), query(200, 32, CV_8U);
  rng.fill(train, cv::RNG::UNIFORM, 0, 256);
  rng.fill(query, cv::RNG::UNIFORM, 0, 256);
  train.row(5).copyTo(query.row(0));  // an exact match
  train.row(9).copyTo(train.row(10));
  train.row(9).copyTo(query.row(1));  // two equally near rows
  const std::vector<NearestTwo> fast = nearestTwo(query, train);
  std::vector<std::vector<cv::DMatch>> reference;
  cv::BFMatcher(cv::NORM_HAMMING).knnMatch(query, train, reference, 2);
  ASSERT_EQ(fast.size(), reference.size());
  for (size_t i = 0; i < fast.size(); ++i) {
    EXPECT_EQ(fast[i].best_distance, reference[i][0].distance) << i;
    EXPECT_EQ(fast[i].second_distance, reference[i][1].distance) << i;
    if (reference[i][0].distance < reference[i][1].distance) {
      EXPECT_EQ(fast[i].best, reference[i][0].trainIdx) << i;
    }
  }
  EXPECT_EQ(fast[0].best, 5);
  EXPECT_EQ(fast[1].second_distance, 0.0);
}

// Rows equally near: the earliest is the nearest, wherever the rows fall among the blocks the
// search takes together and in the last, partly filled one; the second distance is theirs.
TEST_P(DescriptorMatching, AmongEquallyNearRowsTheEarliestIsTheNearest) {
  cv::RNG rng(3);
  for (const int rows : {1, 7, 8, 9, 23, 64, 301}) {
    cv::Mat train(rows, 32, CV_8U), query(4, 32, CV_8U);
    rng.fill(train, cv::RNG::UNIFORM, 0, 256);
    rng.fill(query, cv::RNG::UNIFORM, 0, 256);
    // Query 0 one bit from rows a third and the last of the way in; query 1 equal to all rows.
    const int a = rows / 3, b = rows - 1;
    for (const int j : {a, b}) {
      query.row(0).copyTo(train.row(j));
      train.at<uint8_t>(j, 31) ^= 0x10;
    }
    const std::vector<NearestTwo> found = nearestTwo(query, train);
    EXPECT_EQ(found[0].best, a) << rows;
    EXPECT_EQ(found[0].best_distance, 1.0) << rows;
    if (a != b) {
      EXPECT_EQ(found[0].second_distance, 1.0) << rows;
    }
    // Every query agrees with the exhaustive matcher's distances.
    std::vector<std::vector<cv::DMatch>> reference;
    cv::BFMatcher(cv::NORM_HAMMING).knnMatch(query, train, reference, 2);
    for (size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].best_distance, reference[i][0].distance) << rows << " " << i;
      if (rows > 1) {
        EXPECT_EQ(found[i].second_distance, reference[i][1].distance) << rows;
      }
    }
    cv::Mat same(rows, 32, CV_8U, cv::Scalar(0x5a));
    same.row(0).copyTo(query.row(1));
    const std::vector<NearestTwo> all = nearestTwo(query, same);
    EXPECT_EQ(all[1].best, 0) << rows;
    EXPECT_EQ(all[1].best_distance, 0.0) << rows;
    EXPECT_EQ(all[1].second_distance, rows > 1 ? 0.0 : std::numeric_limits<double>::infinity());
  }
}

TEST_P(DescriptorMatching, OneTrainRowHasNoSecondAndNoTrainRowNoMatch) {
  cv::Mat train(1, 32, CV_8U, cv::Scalar(0)), query(2, 32, CV_8U, cv::Scalar(255));
  const std::vector<NearestTwo> one = nearestTwo(query, train);
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0].best, 0);
  EXPECT_EQ(one[0].best_distance, 256.0);
  EXPECT_TRUE(std::isinf(one[0].second_distance));
  const std::vector<NearestTwo> none = nearestTwo(query, cv::Mat());
  ASSERT_EQ(none.size(), 2u);
  EXPECT_EQ(none[0].best, -1);
}

// Repetitive texture: a row matches two places alike; near where it is expected only one.
// Within a window the same bookkeeping holds: one row in reach has no second, none in reach
// (or a query with no expected place) no match, and a tie keeps the earlier row.
TEST_P(DescriptorMatching, AWindowWithOneOrNoRowInReach) {
  cv::Mat train(3, 32, CV_8U, cv::Scalar(0)), query(3, 32, CV_8U, cv::Scalar(0));
  train.row(1).setTo(cv::Scalar(1));  // 32 bits from the queries
  const std::vector<cv::Point2f> train_at = {{0, 0}, {100, 0}, {100, 1}};
  const float nowhere = std::numeric_limits<float>::quiet_NaN();
  const std::vector<cv::Point2f> expected_at = {{0, 0}, {500, 500}, {nowhere, 0}};
  const std::vector<NearestTwo> found = nearestTwoWithin(query, expected_at, train, train_at, 5);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].best, 0);
  EXPECT_EQ(found[0].best_distance, 0.0);
  EXPECT_TRUE(std::isinf(found[0].second_distance));
  EXPECT_EQ(found[1].best, -1);
  EXPECT_TRUE(std::isinf(found[1].best_distance));
  EXPECT_TRUE(std::isinf(found[1].second_distance));
  EXPECT_EQ(found[2].best, -1);
  const std::vector<NearestTwo> pair =
      nearestTwoWithin(query.rowRange(0, 1), {cv::Point2f(100, 0)}, train, train_at, 5);
  EXPECT_EQ(pair[0].best, 2);
  EXPECT_EQ(pair[0].best_distance, 0.0);
  EXPECT_EQ(pair[0].second_distance, 32.0);
  const std::vector<NearestTwo> tie =
      nearestTwoWithin(query.rowRange(0, 1), {cv::Point2f(50, 0)}, train, train_at, 100);
  EXPECT_EQ(tie[0].best, 0);
  EXPECT_EQ(tie[0].second_distance, 0.0);
  // A place missing for a row is a caller's fault, never a read past the list.
  EXPECT_THROW(nearestTwoWithin(query, {{0, 0}}, train, train_at, 5), std::invalid_argument);
  EXPECT_THROW(nearestTwoWithin(query, expected_at, train, {{0, 0}}, 5), std::invalid_argument);
}

TEST_P(DescriptorMatching, ASearchWindowTellsRepeatedTextureApart) {
  cv::RNG rng(11);
  cv::Mat train(200, 32, CV_8U), query(3, 32, CV_8U);
  rng.fill(train, cv::RNG::UNIFORM, 0, 256);
  rng.fill(query, cv::RNG::UNIFORM, 0, 256);
  std::vector<cv::Point2f> train_at;
  for (int j = 0; j < train.rows; ++j)
    train_at.emplace_back(float(rng.uniform(0.0, 640.0)), float(rng.uniform(0.0, 480.0)));
  // Rows 10 and 20 are one furrow seen at two places.
  train.row(10).copyTo(train.row(20));
  train.row(10).copyTo(query.row(0));
  train_at[10] = {100, 100};
  train_at[20] = {400, 300};
  const float nowhere = std::numeric_limits<float>::quiet_NaN();
  const std::vector<cv::Point2f> expected = {{405, 290}, {nowhere, 0}, {100, 100}};
  const std::vector<NearestTwo> everywhere = nearestTwo(query, train);
  EXPECT_EQ(everywhere[0].second_distance, 0.0) << "the ratio test would refuse it";
  const std::vector<NearestTwo> near = nearestTwoWithin(query, expected, train, train_at, 30.0);
  ASSERT_EQ(near.size(), 3u);
  EXPECT_EQ(near[0].best, 20);
  EXPECT_EQ(near[0].best_distance, 0.0);
  EXPECT_GT(near[0].second_distance, 0.0);
  EXPECT_EQ(near[1].best, -1) << "a row expected nowhere has no match";
  // A window over the whole image finds what the exhaustive search finds.
  const std::vector<NearestTwo> wide = nearestTwoWithin(query, expected, train, train_at, 2000.0);
  for (int i : {0, 2}) {
    EXPECT_EQ(wide[i].best_distance, everywhere[i].best_distance) << i;
    EXPECT_EQ(wide[i].second_distance, everywhere[i].second_distance) << i;
  }
}

// Rows of either kind the front end matches: ORB's 256 bits, and SIFT's 128 whole numbers
// 0..255 held as floats (searched as bytes), with the reference distance of each kind.
struct RowKind {
  int type, cols, top;
  cv::NormTypes norm;
};
const RowKind kBinaryRows{CV_8U, 32, 256, cv::NORM_HAMMING};
const RowKind kSiftRows{CV_32F, 128, 256, cv::NORM_L2};

cv::Mat randomRows(cv::RNG& rng, int rows, const RowKind& kind) {
  cv::Mat values(rows, kind.cols, CV_32S);
  rng.fill(values, cv::RNG::UNIFORM, 0, kind.top);
  cv::Mat out;
  values.convertTo(out, kind.type);
  return out;
}

// The windowed search against a plain count of the rows within the radius: radii of a few
// cells across the rows' spread, of one cell, and far below the spread (more cells than
// rows); places far outside the rows' spread (and beyond what a cell index could hold) find
// nothing.
TEST_P(DescriptorMatching, WindowedSearchAgreesWithAPlainSearchOfTheWindow) {
  for (const RowKind& kind : {kBinaryRows, kSiftRows}) {
    SCOPED_TRACE(kind.cols);
    cv::RNG rng(11);
    const cv::Mat train = randomRows(rng, 800, kind), query = randomRows(rng, 400, kind);
    std::vector<cv::Point2f> train_at, expected;
    for (int j = 0; j < train.rows; ++j)
      train_at.emplace_back(float(rng.uniform(0.0, 800.0)), float(rng.uniform(0.0, 600.0)));
    for (int i = 0; i < query.rows; ++i)
      expected.emplace_back(float(rng.uniform(0.0, 800.0)), float(rng.uniform(0.0, 600.0)));
    // A few queries expected beside rows, so that the smallest radius finds some.
    for (int i = 0; i < 20; ++i) expected[i] = train_at[i * 7] + cv::Point2f(0.01f, -0.02f);
    expected[20] = cv::Point2f(-3e12f, 5e11f);
    expected[21] = cv::Point2f(4e20f, 200.0f);
    // Query 22 equals a row in reach and one just beyond the radius, and nearly equals another
    // in reach (which is second).
    expected[22] = cv::Point2f(400, 300);
    train_at[30] = {400, 310}, train_at[31] = {405, 300}, train_at[32] = {400, 370.1f};
    for (const int j : {30, 31, 32}) query.row(22).copyTo(train.row(j));
    cv::Mat first = train.row(31).col(0);
    first.setTo(cv::Scalar(cv::sum(first)[0] > 0 ? 0 : 1));
    for (const double radius : {70.0, 900.0, 0.05}) {
      const std::vector<NearestTwo> found =
          nearestTwoWithin(query, expected, train, train_at, radius);
      int with_a_match = 0;
      for (int i = 0; i < query.rows; ++i) {
        double best = std::numeric_limits<double>::infinity(), second = best;
        int best_row = -1;
        for (int j = 0; j < train.rows; ++j) {
          if (std::hypot(train_at[j].x - expected[i].x, train_at[j].y - expected[i].y) > radius)
            continue;
          const double d = cv::norm(query.row(i), train.row(j), kind.norm);
          if (d < best) {
            second = best;
            best = d;
            best_row = j;
          } else if (d < second) {
            second = d;
          }
        }
        ASSERT_EQ(found[i].best_distance, best) << radius << " " << i;
        ASSERT_EQ(found[i].second_distance, second) << radius << " " << i;
        if (best < second) {
          ASSERT_EQ(found[i].best, best_row) << radius << " " << i;
        }
        with_a_match += found[i].best >= 0;
      }
      EXPECT_GE(with_a_match, 20) << radius;
      EXPECT_EQ(found[20].best, -1);
      EXPECT_EQ(found[21].best, -1);
    }
    const std::vector<NearestTwo> pair = nearestTwoWithin(query, expected, train, train_at, 70.0);
    EXPECT_EQ(pair[22].best, 30);
    EXPECT_EQ(pair[22].best_distance, 0.0);
    EXPECT_GT(pair[22].second_distance, 0.0);
  }
}

// Real rows are compared by Euclidean distance as OpenCV's exhaustive matcher compares them,
// to the bit: SIFT's whole numbers (searched as bytes, ties among equal rows kept in row order),
// and rows of other values, fractions and negatives, which the search takes as they are.
TEST_P(DescriptorMatching, RealRowsAgreeWithTheExhaustiveMatcher) {
  cv::RNG rng(5);
  cv::Mat sift = randomRows(rng, 301, kSiftRows), sift_query = randomRows(rng, 90, kSiftRows);
  sift.row(7).copyTo(sift_query.row(0));  // an exact match
  sift.row(9).copyTo(sift.row(300));
  sift.row(9).copyTo(sift_query.row(1));  // two equally near rows, one in the last block
  sift.row(12).setTo(255);
  sift_query.row(2).setTo(0);  // as far from row 12 as rows can be
  cv::Mat fractions(60, 128, CV_32F), fraction_query(20, 128, CV_32F);
  rng.fill(fractions, cv::RNG::UNIFORM, -1.0, 1.0);
  rng.fill(fraction_query, cv::RNG::UNIFORM, -1.0, 1.0);
  const std::pair<cv::Mat, cv::Mat> cases[] = {{sift_query, sift},
                                               {sift_query, sift.rowRange(12, 13)},
                                               {fraction_query, fractions},
                                               {sift_query.rowRange(0, 1) + 0.5f, sift}};
  for (const auto& [query, train] : cases) {
    const std::vector<NearestTwo> found = nearestTwo(query, train);
    std::vector<std::vector<cv::DMatch>> reference;
    cv::BFMatcher(cv::NORM_L2).knnMatch(query, train, reference, 2);
    ASSERT_EQ(found.size(), reference.size());
    for (size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].best, reference[i][0].trainIdx) << i;
      EXPECT_EQ(found[i].best_distance, reference[i][0].distance) << i;
      EXPECT_EQ(found[i].second_distance, reference[i].size() > 1
                                              ? reference[i][1].distance
                                              : std::numeric_limits<double>::infinity())
          << i;
    }
  }
  const std::vector<NearestTwo> found = nearestTwo(sift_query, sift);
  EXPECT_EQ(found[0].best, 7);
  EXPECT_EQ(found[1].best, 9);
  EXPECT_EQ(found[1].second_distance, 0.0);
  EXPECT_FLOAT_EQ(nearestTwo(sift_query.row(2), sift.row(12))[0].best_distance,
                  255.0 * std::sqrt(128.0));
}

// The mutual matches two searches, one each way, find: each query row's nearest train row where
// it passes the ratio test, kept where that row's own nearest query row is it.
std::vector<std::pair<int, int>> searchedBothWays(const cv::Mat& query, const cv::Mat& train,
                                                  const std::vector<cv::Point2f>& expected,
                                                  const std::vector<cv::Point2f>& train_at,
                                                  double radius) {
  const std::vector<NearestTwo> there =
      radius > 0.0 ? nearestTwoWithin(query, expected, train, train_at, radius)
                   : nearestTwo(query, train);
  std::vector<std::pair<int, int>> out;
  for (int i = 0; i < query.rows; ++i) {
    const NearestTwo& m = there[i];
    if (m.best < 0 || !(m.best_distance < 0.8 * m.second_distance)) continue;
    const std::vector<cv::Point2f> at{train_at[m.best]};
    const std::vector<NearestTwo> back =
        radius > 0.0 ? nearestTwoWithin(train.row(m.best), at, query, expected, radius)
                     : nearestTwo(train.row(m.best), query);
    if (back[0].best == i) out.emplace_back(i, m.best);
  }
  return out;
}

// Mutual matches are what two searches, one each way, find: exhaustively and within windows wide
// and narrow, for binary and SIFT rows, among many rows and among a few (blocks of rows and
// groups of queries the searches take together partly filled). Each train row is copied into up
// to three queries placed apart, so that the way back meets rows equally near and must resolve
// them as its own search does.
TEST_P(DescriptorMatching, MutualMatchesAreNearestBothWays) {
  for (const RowKind& kind : {kBinaryRows, kSiftRows}) {
    for (const auto& [train_rows, query_rows] : {std::pair{500, 703}, std::pair{33, 6}}) {
      SCOPED_TRACE(::testing::Message() << kind.cols << " " << train_rows);
      cv::RNG rng(17);
      const cv::Mat train = randomRows(rng, train_rows, kind);
      const cv::Mat query = randomRows(rng, query_rows, kind);
      std::vector<cv::Point2f> train_at, expected;
      for (int j = 0; j < train.rows; ++j)
        train_at.emplace_back(float(rng.uniform(0.0, 800.0)), float(rng.uniform(0.0, 600.0)));
      for (int i = 0; i < query.rows; ++i) {
        const int j = i % train.rows;
        if (i % 5 != 4) train.row(j).copyTo(query.row(i));
        expected.push_back(train_at[j] + cv::Point2f(float(rng.uniform(-120.0, 120.0)),
                                                     float(rng.uniform(-90.0, 90.0))));
      }
      expected[3] = cv::Point2f(std::nanf(""), 0.0f);
      for (const double radius : {0.0, 250.0, 60.0, 6.0}) {
        SCOPED_TRACE(radius);
        const std::vector<std::pair<int, int>> reference =
            searchedBothWays(query, train, expected, train_at, radius);
        if (train_rows > 100) {
          EXPECT_GT(reference.size(), radius == 6.0 ? 10u : 100u);
        }
        EXPECT_EQ(
            mutualMatches(query, train, 0.8, radius > 0.0 ? &expected : nullptr, train_at, radius),
            reference);
      }
    }
  }
}

// SIFT rows that repeat (ten looks over the whole image), searched in windows wide enough to be
// set out as bytes: of the rows equally near a query, the wide search takes the one the
// row-by-row search takes, whichever cells the window reads them from.
TEST(DescriptorMatchingWindows, EquallyNearRowsResolveAlikeOnEveryPath) {
  cv::RNG rng(21);
  const cv::Mat looks = randomRows(rng, 10, kSiftRows);
  cv::Mat train(900, 128, CV_32F), query(300, 128, CV_32F);
  std::vector<cv::Point2f> train_at, expected;
  for (int j = 0; j < train.rows; ++j) {
    looks.row(rng.uniform(0, looks.rows)).copyTo(train.row(j));
    train_at.emplace_back(float(rng.uniform(0.0, 800.0)), float(rng.uniform(0.0, 600.0)));
  }
  for (int i = 0; i < query.rows; ++i) {
    looks.row(rng.uniform(0, looks.rows)).copyTo(query.row(i));
    expected.emplace_back(float(rng.uniform(-50.0, 850.0)), float(rng.uniform(-50.0, 650.0)));
  }
  for (const double radius : {90.0, 250.0}) {
    const std::vector<NearestTwo> wide = nearestTwoWithin(query, expected, train, train_at, radius);
    allowWideVectors(false);
    const std::vector<NearestTwo> plain =
        nearestTwoWithin(query, expected, train, train_at, radius);
    allowWideVectors(true);
    for (int i = 0; i < query.rows; ++i) {
      EXPECT_EQ(wide[i].best, plain[i].best) << radius << " " << i;
      EXPECT_EQ(wide[i].best_distance, plain[i].best_distance) << radius << " " << i;
      EXPECT_EQ(wide[i].second_distance, plain[i].second_distance) << radius << " " << i;
    }
  }
}

}  // namespace
}  // namespace sfm
