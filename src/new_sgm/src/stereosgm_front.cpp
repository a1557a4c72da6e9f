#include "stereosgm_front.h"

#include <cstdint>
#include <stdexcept>

namespace sgm_front {
namespace {

constexpr unsigned kP1 = 10;
constexpr unsigned kP2 = 120;
constexpr float kUniqueness = 0.95f;
constexpr int kLrMaxDiff = 1;
constexpr int kInputBits = 8;
constexpr int kOutputBits = 16;

}  // namespace

sgm::MatcherParameters frontParameters(int minDisparity, int pathCount) {
  sgm::MatcherParameters p;
  p.P1 = kP1;
  p.P2 = kP2;
  p.uniqueness = kUniqueness;
  p.subpixel = true;
  p.path_mode = pathCount == 4 ? sgm::kPathMode4 : sgm::kPathMode8;
  p.min_disparity = minDisparity;
  p.lr_max_diff = kLrMaxDiff;
  p.census_mode = sgm::kCensusSymmetric;
  return p;
}

void checkFrontPair(const cv::Mat& left, const cv::Mat& right, int disparitySize,
                    const sgm::MatcherParameters& p) {
  if (left.type() != CV_8UC1 || right.type() != CV_8UC1)
    throw std::logic_error("left and right images must be 8-bit single-channel");
  if (left.size() != right.size())
    throw std::logic_error("left and right images must have the same size");
  sgm::checkMatcherConfiguration(left.cols, left.rows, disparitySize, kInputBits, kOutputBits, p);
  // The result is read as signed 16-bit.
  if (sgm::largestOutput(disparitySize, p) > INT16_MAX)
    throw std::logic_error("output depth bits must be sufficient for representing output value");
}

cv::Mat continuousImage(const cv::Mat& image) {
  return image.isContinuous() ? image : image.clone();
}

}  // namespace sgm_front
