#include "src/TerrainFusion/src/hole_filling.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <vector>

namespace {

// Push-pull with every level kept to the end and divided at full size as well: the plain
// form of the fill, which the lean one must match byte for byte (the products depend on it).
cv::Mat plainPushPull(const cv::Mat& dom, const cv::Mat& weight) {
  const cv::Mat seen = weight > 0;
  const int seenCount = cv::countNonZero(seen);
  if (seenCount == 0 || seenCount == weight.rows * weight.cols) return dom;
  std::vector<cv::Mat> sums(1), masses(1);
  seen.convertTo(masses[0], CV_32F, 1.0 / 255.0);
  dom.convertTo(sums[0], CV_32FC3);
  sums[0].setTo(cv::Scalar::all(0), ~seen);
  while (sums.back().cols > 1 && sums.back().rows > 1) {
    sums.emplace_back();
    masses.emplace_back();
    cv::pyrDown(sums[sums.size() - 2], sums.back());
    cv::pyrDown(masses[masses.size() - 2], masses.back());
  }
  cv::Mat filled;
  for (int l = static_cast<int>(sums.size()) - 1; l >= 0; --l) {
    cv::Mat mass3, level;
    cv::merge(std::vector<cv::Mat>(3, cv::max(masses[l], 1e-6f)), mass3);
    cv::divide(sums[l], mass3, level);
    if (!filled.empty()) {
      cv::Mat up;
      cv::pyrUp(filled, up, level.size());
      up.copyTo(level, masses[l] < 1e-3f);
    }
    filled = level;
  }
  cv::Mat out;
  filled.convertTo(out, CV_8UC3);
  dom.copyTo(out, seen);
  return out;
}

// A textured DOM whose weight leaves ragged holes: random blobs over a random colour field.
void randomBlock(cv::Size size, unsigned seed, cv::Mat& dom, cv::Mat& weight) {
  cv::RNG rng(seed);
  dom.create(size, CV_8UC3);
  rng.fill(dom, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
  weight = cv::Mat(size, CV_8UC1, cv::Scalar(0));
  for (int i = 0; i < 12; ++i) {
    const cv::Point centre(rng.uniform(0, size.width), rng.uniform(0, size.height));
    cv::circle(weight, centre, rng.uniform(1, std::max(2, size.width / 3)),
               cv::Scalar(rng.uniform(1, 256)), cv::FILLED);
  }
}

bool sameBytes(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0.0;
}

TEST(HoleFilling, MatchesThePlainPushPullByteForByte) {
  const std::vector<cv::Size> sizes{{512, 256}, {768, 512}, {257, 131}, {3, 7},
                                    {2, 2},     {1, 9},     {9, 1}};
  unsigned seed = 1;
  for (const cv::Size& size : sizes) {
    for (int trial = 0; trial < 3; ++trial, ++seed) {
      cv::Mat dom, weight;
      randomBlock(size, seed, dom, weight);
      const cv::Mat filled = domWithHolesFilled(dom, weight);
      EXPECT_TRUE(sameBytes(filled, plainPushPull(dom, weight)))
          << size.width << "x" << size.height << " seed " << seed;
      // Seen pixels keep their own colour.
      cv::Mat seenPixels;
      cv::bitwise_and(filled, filled, seenPixels, weight > 0);
      cv::Mat seenSource;
      cv::bitwise_and(dom, dom, seenSource, weight > 0);
      EXPECT_TRUE(sameBytes(seenPixels, seenSource));
    }
  }
}

TEST(HoleFilling, SparseHolesInATallBlockMatchThePlainPushPull) {
  // Most rows hold no hole, and the holes sit against the top, the bottom and inner band
  // edges, with odd sizes: the rows around every hole must be pulled exactly as a whole.
  const std::vector<cv::Size> sizes{{96, 517}, {131, 300}, {64, 64}};
  const std::vector<int> holeRows{0, 63, 64, 65, 127, 128, 299};
  unsigned seed = 40;
  for (const cv::Size& size : sizes) {
    for (const int holeRow : holeRows) {
      if (holeRow >= size.height) continue;
      cv::Mat dom(size, CV_8UC3);
      cv::RNG(seed++).fill(dom, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
      cv::Mat weight(size, CV_8UC1, cv::Scalar(77));
      weight.row(holeRow).colRange(size.width / 3, size.width / 2).setTo(cv::Scalar(0));
      weight.at<uchar>(size.height - 1, size.width - 1) = 0;
      EXPECT_TRUE(sameBytes(domWithHolesFilled(dom, weight), plainPushPull(dom, weight)))
          << size.width << "x" << size.height << " hole row " << holeRow;
    }
  }
}

TEST(HoleFilling, HolesTakeTheColourAroundThem) {
  cv::Mat dom(256, 256, CV_8UC3, cv::Scalar(255, 255, 255));
  cv::Mat weight(256, 256, CV_8UC1, cv::Scalar(0));
  dom(cv::Rect(0, 0, 128, 256)).setTo(cv::Scalar(20, 140, 60));
  weight(cv::Rect(0, 0, 128, 256)).setTo(cv::Scalar(200));
  const cv::Mat filled = domWithHolesFilled(dom, weight);
  // A uniform seen half pulls its own colour into the unseen half, never the white under it.
  EXPECT_EQ(filled.at<cv::Vec3b>(128, 200), cv::Vec3b(20, 140, 60));
  EXPECT_EQ(filled.at<cv::Vec3b>(255, 255), cv::Vec3b(20, 140, 60));
}

TEST(HoleFilling, ABlockSeenEverywhereOrNowhereComesBackAsItIs) {
  cv::Mat dom, weight;
  randomBlock({64, 48}, 7, dom, weight);
  const cv::Mat none(dom.size(), CV_8UC1, cv::Scalar(0));
  const cv::Mat all(dom.size(), CV_8UC1, cv::Scalar(1));
  EXPECT_EQ(domWithHolesFilled(dom, none).data, dom.data);
  EXPECT_EQ(domWithHolesFilled(dom, all).data, dom.data);
}

TEST(HoleFilling, ALineOfPixelsLeavesItsHolesBlack) {
  // One pixel high: no coarser level to pull colour from.
  cv::Mat dom(1, 8, CV_8UC3, cv::Scalar(90, 90, 90));
  cv::Mat weight(1, 8, CV_8UC1, cv::Scalar(0));
  weight.colRange(0, 4).setTo(cv::Scalar(10));
  const cv::Mat filled = domWithHolesFilled(dom, weight);
  EXPECT_EQ(filled.at<cv::Vec3b>(0, 2), cv::Vec3b(90, 90, 90));
  EXPECT_EQ(filled.at<cv::Vec3b>(0, 6), cv::Vec3b(0, 0, 0));
}

TEST(HoleFilling, RefusesAWeightOrDomOfTheWrongTypeOrSize) {
  cv::Mat dom, weight;
  randomBlock({64, 48}, 11, dom, weight);
  // Each would otherwise be read by pointer over the DOM's rows: past the end, or misread.
  EXPECT_THROW(domWithHolesFilled(dom, weight.rowRange(0, 47)), std::invalid_argument);
  EXPECT_THROW(domWithHolesFilled(dom, weight.colRange(0, 63)), std::invalid_argument);
  cv::Mat wideWeight;
  weight.convertTo(wideWeight, CV_16U);
  EXPECT_THROW(domWithHolesFilled(dom, wideWeight), std::invalid_argument);
  cv::Mat grey;
  cv::cvtColor(dom, grey, cv::COLOR_BGR2GRAY);
  EXPECT_THROW(domWithHolesFilled(grey, weight), std::invalid_argument);
  // A right pair still fills.
  EXPECT_NO_THROW(domWithHolesFilled(dom, weight));
}

}  // namespace
