#include "src/PointsFusion/src/stereo_dense/mutual_matches.h"

#include <gtest/gtest.h>
#include <opencv2/features2d.hpp>

namespace {

constexpr double kRatio = 0.8;

// What a brute-force matcher's two nearest, both ways, keep under the ratio test.
std::vector<std::pair<int, int>> referenceMatches(const cv::Mat& a, const cv::Mat& b) {
  const auto best = [](const cv::Mat& from, const cv::Mat& to) {
    std::vector<int> found(from.rows, -1);
    std::vector<std::vector<cv::DMatch>> knn;
    cv::BFMatcher(cv::NORM_HAMMING).knnMatch(from, to, knn, 2);
    for (const auto& m : knn)
      if (m.size() == 2 && m[0].distance < kRatio * m[1].distance)
        found[m[0].queryIdx] = m[0].trainIdx;
    return found;
  };
  const std::vector<int> forward = best(a, b), backward = best(b, a);
  std::vector<std::pair<int, int>> pairs;
  for (int i = 0; i < a.rows; ++i)
    if (forward[i] >= 0 && backward[forward[i]] == i) pairs.emplace_back(i, forward[i]);
  return pairs;
}

// ORB's 32-byte descriptors and a width that does not fill whole 64-bit words.
TEST(MutualMatches, KeepWhatTheBruteForceMatcherKeepsBothWays) {
  for (const int width : {32, 13}) {
    SCOPED_TRACE(width);
    cv::RNG rng(11);
    cv::Mat from(300, width, CV_8U), to(420, width, CV_8U);
    rng.fill(from, cv::RNG::UNIFORM, 0, 256);
    rng.fill(to, cv::RNG::UNIFORM, 0, 256);
    // A hundred true partners a few bits apart, and two rows each twice in the other set
    // (a tie, which no ratio passes).
    for (int i = 0; i < 100; ++i) {
      from.row(i).copyTo(to.row(4 * i));
      for (int bit = 0; bit < i % 12; ++bit)
        to.at<uchar>(4 * i, (bit * 7) % width) ^= uchar(1 << (bit % 8));
    }
    from.row(150).copyTo(to.row(401));
    from.row(150).copyTo(to.row(402));
    to.row(410).copyTo(from.row(160));
    to.row(410).copyTo(from.row(161));

    const std::vector<std::pair<int, int>> pairs = mutual_matches::find(from, to, kRatio);
    EXPECT_EQ(pairs, referenceMatches(from, to));
    EXPECT_GE(pairs.size(), 90u);
    for (const auto& [i, j] : pairs) {
      EXPECT_NE(i, 150);
      EXPECT_NE(j, 410);
    }
  }
}

TEST(MutualMatches, NoneWithoutTwoCandidatesOrWithDescriptorsThatDoNotCompare) {
  cv::Mat a(5, 32, CV_8U), b(6, 32, CV_8U);
  cv::randu(a, 0, 256);
  a.copyTo(b.rowRange(0, 5));
  b.row(5).setTo(0);
  EXPECT_EQ(mutual_matches::find(a, b, kRatio).size(), 5u);
  EXPECT_TRUE(mutual_matches::find(a, b.row(0).clone(), kRatio).empty()) << "nothing second";
  EXPECT_TRUE(mutual_matches::find(a.row(0).clone(), b, kRatio).empty());
  EXPECT_TRUE(mutual_matches::find(a, b.colRange(0, 16).clone(), kRatio).empty()) << "widths";
  cv::Mat wide;
  b.convertTo(wide, CV_16U);
  EXPECT_TRUE(mutual_matches::find(a, wide, kRatio).empty()) << "not bytes";
  EXPECT_TRUE(mutual_matches::find(cv::Mat(), cv::Mat(), kRatio).empty());
}

}  // namespace
