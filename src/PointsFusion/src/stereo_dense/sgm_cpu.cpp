#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"

#include "framework/config_store.h"
#include "framework/log.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace {

constexpr int kDisparityStep = 16;  // StereoSGBM searches multiples of 16 disparities
constexpr int kMaxBlockSize = 11;
constexpr int kMaxUniqueness = 100;
// OpenCV's suggested smoothness penalties per pixel of the window and channel.
constexpr int kSmallJumpPenalty = 8;
constexpr int kLargeJumpPenalty = 32;
// Left-right agreement (pixels), speckle blob size (pixels) and its disparity spread.
constexpr int kMaxLeftRightDifference = 1;
constexpr int kPreFilterCap = 63;
constexpr int kSpeckleWindow = 100;
constexpr int kSpeckleRange = 32;

}  // namespace

SgmCpuOptions SgmCpuOptions::fromConfig() {
  fw::Var& config = fw::Var::instance();
  SgmCpuOptions o;
  o.blockSize = *config.GetInt("pointsfusion.sgbm_block_size", o.blockSize);
  o.uniquenessRatio = *config.GetInt("pointsfusion.sgbm_uniqueness", o.uniquenessRatio);
  o.mode = *config.GetInt("pointsfusion.fulldp", o.mode);
  o.mend();
  o.check();
  return o;
}

void SgmCpuOptions::mend() {
  const int block = std::clamp(blockSize | 1, 1, kMaxBlockSize);
  if (block != blockSize) {
    FW_LOG(fw::kLogWarning) << "pointsfusion.sgbm_block_size " << blockSize
                            << " is not odd within 1.." << kMaxBlockSize << "; using " << block
                            << ".";
    blockSize = block;
  }
  const int ratio = std::clamp(uniquenessRatio, 0, kMaxUniqueness);
  if (ratio != uniquenessRatio) {
    FW_LOG(fw::kLogWarning) << "pointsfusion.sgbm_uniqueness " << uniquenessRatio
                            << " is outside 0.." << kMaxUniqueness << "; using " << ratio << ".";
    uniquenessRatio = ratio;
  }
  if (mode < cv::StereoSGBM::MODE_SGBM || mode > cv::StereoSGBM::MODE_HH4) {
    FW_LOG(fw::kLogWarning) << "pointsfusion.fulldp " << mode << " is no matcher mode; using "
                            << cv::StereoSGBM::MODE_SGBM << ".";
    mode = cv::StereoSGBM::MODE_SGBM;
  }
}

void SgmCpuOptions::check() const {
  if (blockSize % 2 == 0 || blockSize < 1 || blockSize > kMaxBlockSize) {
    throw std::invalid_argument("pointsfusion.sgbm_block_size must be odd from 1 to " +
                                std::to_string(kMaxBlockSize) + ", not " +
                                std::to_string(blockSize));
  }
  if (uniquenessRatio < 0 || uniquenessRatio > kMaxUniqueness) {
    throw std::invalid_argument("pointsfusion.sgbm_uniqueness must be from 0 to " +
                                std::to_string(kMaxUniqueness) + ", not " +
                                std::to_string(uniquenessRatio));
  }
  if (mode < cv::StereoSGBM::MODE_SGBM || mode > cv::StereoSGBM::MODE_HH4) {
    throw std::invalid_argument("pointsfusion.fulldp must be one of OpenCV's matcher modes, " +
                                std::to_string(cv::StereoSGBM::MODE_SGBM) + " to " +
                                std::to_string(cv::StereoSGBM::MODE_HH4) + ", not " +
                                std::to_string(mode));
  }
}

int SGM_CPU::numDisparities(int cols) {
  const int m = std::min(cols / 4, 256);
  return m - m % kDisparityStep + kDisparityStep;
}

int SGM_CPU::searchCount(int cols, int dmin, int dmax) {
  const int span = std::max(dmax - dmin + 1, 1);
  const int rounded = (span + kDisparityStep - 1) / kDisparityStep * kDisparityStep;
  return std::min(rounded, numDisparities(cols));
}

cv::Ptr<cv::StereoSGBM> SGM_CPU::createMatcher(int dmin, int count, int channels,
                                               const SgmCpuOptions& options) {
  const int area = options.blockSize * options.blockSize * channels;
  return cv::StereoSGBM::create(dmin, count, options.blockSize, kSmallJumpPenalty * area,
                                kLargeJumpPenalty * area, kMaxLeftRightDifference, kPreFilterCap,
                                options.uniquenessRatio, kSpeckleWindow, kSpeckleRange,
                                options.mode);
}

sv::Var SGM_CPU::Compute(cv::Mat left, cv::Mat right, int dmin, int dmax) {
  const int count = searchCount(left.cols, dmin, dmax);
  // StereoSGBM leaves the first dmin + count columns unmatched, though every column from dmin
  // on can see its match. A margin of count columns gives those columns back; candidates
  // that fall into the margin of the right view match nothing.
  cv::Mat paddedLeft, paddedRight, fixedPoint, disparity;
  cv::copyMakeBorder(left, paddedLeft, 0, 0, count, 0, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  cv::copyMakeBorder(right, paddedRight, 0, 0, count, 0, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  createMatcher(dmin, count, left.channels(), options_)
      ->compute(paddedLeft, paddedRight, fixedPoint);
  // Rejected pixels come out as dmin - 1.
  fixedPoint.colRange(count, count + left.cols).convertTo(disparity, CV_32F, 1.0 / 16);
  return disparityResult(disparity);
}
