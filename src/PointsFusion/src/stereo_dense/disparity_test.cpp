#include "framework/config_store.h"
#include "src/PointsFusion/src/stereo_dense/rendered_pair_for_tests.h"
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"
#include "src/PointsFusion/src/stereo_dense/sgm_gpu.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <utility>
#include <vector>

namespace {

using densetest::LogLines;

// Sets "pointsfusion.cut_pixel_num" for one test.
class BandPixels {
 public:
  explicit BandPixels(int pixels)
      : entry_(fw::Var::instance().GetInt("pointsfusion.cut_pixel_num", 2000000)), saved_(*entry_) {
    *entry_ = pixels;
  }
  ~BandPixels() { *entry_ = saved_; }

 private:
  int* entry_;
  int saved_;
};

// Puts the matcher's border contract on a block: first and last row and column 0.
cv::Mat withBorder(cv::Mat m) {
  m.row(0).setTo(0);
  m.row(m.rows - 1).setTo(0);
  m.col(0).setTo(0);
  m.col(m.cols - 1).setTo(0);
  return m;
}

// A band matcher whose answer depends on each pixel's own row only.
GpuMatcherFront rowLocalFront(std::vector<int>* blockRows = nullptr) {
  return {[blockRows](cv::Mat left, cv::Mat right, int, int, int) {
            if (blockRows) blockRows->push_back(left.rows);
            cv::Mat sum;
            cv::add(left, right, sum, cv::noArray(), CV_16S);
            return withBorder(sum);
          },
          [](std::uint64_t) {}};
}

// A textured pair whose true disparity is 35 + 8 sin(row / 40) (left column c sees right
// column c - d).
void texturedPair(cv::Mat* left, cv::Mat* right, cv::Size size) {
  cv::Mat noise(size, CV_8U);
  cv::randu(noise, 0, 255);
  cv::GaussianBlur(noise, *left, cv::Size(0, 0), 1.0);
  cv::Mat mapX(size, CV_32F), mapY(size, CV_32F);
  for (int r = 0; r < size.height; ++r)
    for (int c = 0; c < size.width; ++c) {
      mapX.at<float>(r, c) = float(c + 35 + 8 * std::sin(r / 40.0));
      mapY.at<float>(r, c) = float(r);
    }
  cv::remap(*left, *right, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REFLECT);
}

TEST(SgmCpu, DisparityCountFollowsTheWidth) {
  EXPECT_EQ(SGM_CPU::numDisparities(640), 176);
  EXPECT_EQ(SGM_CPU::numDisparities(960), 256);
  EXPECT_EQ(SGM_CPU::numDisparities(1000), 256);
  EXPECT_EQ(SGM_CPU::numDisparities(1024), 272);
}

TEST(SgmCpu, SearchesTheAskedSpanAndMatchesEveryColumnFromDminOn) {
  EXPECT_EQ(SGM_CPU::searchCount(960, 20, 60), 48);
  EXPECT_EQ(SGM_CPU::searchCount(960, 30, 30), 16);
  EXPECT_EQ(SGM_CPU::searchCount(960, 30, 10), 16);  // a range below dmin searches one step
  EXPECT_EQ(SGM_CPU::searchCount(960, 100, 2000), 256);

  // True disparity 27 to 43: every column from 43 on can see its match. StereoSGBM by
  // itself leaves the first dmin + count columns (here 20 + 256) without any.
  cv::Mat left, right;
  texturedPair(&left, &right, cv::Size(400, 120));
  const cv::Mat d = SGM_CPU().Compute(left, right, 20, 1000)[0].castAs<cv::Mat>();
  int seen = 0, right_ = 0;
  for (int r = 10; r < 110; ++r)
    for (int c = 45; c < 276; ++c) {
      ++seen;
      right_ += std::abs(d.at<float>(r, c) - float(35 + 8 * std::sin(r / 40.0))) <= 1.0f;
    }
  EXPECT_GE(right_, 0.9 * seen);
}

TEST(SgmCpuOptions, KeepsTheBlockOddAndSmallAndTheRatioAPercentage) {
  LogLines log;
  SgmCpuOptions o;
  o.blockSize = 4;
  o.uniquenessRatio = 130;
  EXPECT_THROW(o.check(), std::invalid_argument);
  o.mend();
  EXPECT_EQ(o.blockSize, 5);
  EXPECT_EQ(o.uniquenessRatio, 100);
  o.blockSize = 31;
  o.uniquenessRatio = -3;
  o.mend();
  EXPECT_EQ(o.blockSize, 11);
  EXPECT_EQ(o.uniquenessRatio, 0);
  EXPECT_EQ(log.count(fw::kLogWarning, "pointsfusion.sgbm_block_size"), 2);
  EXPECT_EQ(log.count(fw::kLogWarning, "pointsfusion.sgbm_uniqueness"), 2);
  SgmCpuOptions defaults;
  EXPECT_NO_THROW(defaults.check());
  defaults.mend();
  EXPECT_EQ(defaults.blockSize, 5);
  EXPECT_EQ(defaults.uniquenessRatio, 10);
}

TEST(SgmCpuOptions, TakeTheMatcherModeOnceAndOnlyOneOfOpenCVs) {
  LogLines log;
  for (const auto& [given, kept] :
       std::vector<std::pair<int, int>>{{-1, 0}, {0, 0}, {1, 1}, {3, 3}, {4, 0}}) {
    SgmCpuOptions o;
    o.mode = given;
    o.mend();
    EXPECT_EQ(o.mode, kept) << given;
    EXPECT_NO_THROW(o.check());
  }
  EXPECT_EQ(log.count(fw::kLogWarning, "pointsfusion.fulldp"), 2);
  fw::Var& store = fw::Var::instance();
  store.setText("pointsfusion.fulldp", "1");
  store.setText("pointsfusion.sgbm_block_size", "7");
  const SGM_CPU matcher;
  store.setText("pointsfusion.fulldp", "2");  // read once: the matcher keeps 1
  EXPECT_EQ(matcher.options().mode, cv::StereoSGBM::MODE_HH);
  EXPECT_EQ(matcher.options().blockSize, 7);
  store.setText("pointsfusion.fulldp", "0");
  store.setText("pointsfusion.sgbm_block_size", "5");
}

TEST(DisparityResult, RightViewTakesTruncatedColumnsAndLaterColumnsWin) {
  cv::Mat left = cv::Mat::zeros(1, 12, CV_32F);
  left.at<float>(0, 10) = 2.7f;   // 10 - 2.7 = 7.3: column 7
  left.at<float>(0, 11) = -1.0f;  // a rejected pixel at the last column lands nowhere
  left.at<float>(0, 3) = -1.0f;   // column 4, then overwritten by column 4's own 0
  left.at<float>(0, 6) = 1.0f;    // column 5, after column 5's own 0
  const cv::Mat right = rightViewDisparity(left);
  EXPECT_FLOAT_EQ(right.at<float>(0, 7), 2.7f);
  EXPECT_FLOAT_EQ(right.at<float>(0, 5), 1.0f);
  EXPECT_EQ(cv::countNonZero(right), 2);
}

TEST(SgmGpu, BandLayout) {
  const BandLayout layout = SGM_GPU::bands(1000, 960, 393216);
  EXPECT_EQ(layout.bandRows, 334);
  EXPECT_EQ(layout.bandCount, 3);  // rows 0-333, 334-667, 668-999
  EXPECT_EQ(SGM_GPU::bands(750, 960, 2000000).bandCount, 1);
  // Six bands of two rows would start a band at row 10: no band is thinner than its context.
  EXPECT_EQ(SGM_GPU::bands(10, 100, 167).bandCount, 1);
  EXPECT_EQ(SGM_GPU::bands(1000, 960, 0).bandCount, 0);
  // A thin remainder joins the band before it.
  EXPECT_EQ(SGM_GPU::bands(90, 10, 300).bandCount, 2);  // 32, 32 and 26 rows: 32 and 58

  BandPixels pixels(393216);
  std::vector<int> blocks;
  SGM_GPU gpu(rowLocalFront(&blocks));
  gpu.Compute(cv::Mat(1000, 1000, CV_8U, cv::Scalar(1)), cv::Mat(1000, 1000, CV_8U), 40, 100);
  EXPECT_EQ(blocks, (std::vector<int>{334 + 32, 334 + 64, 332 + 32}));
}

TEST(SgmGpu, ShiftConversionAndReservation) {
  LogLines log;
  BandPixels pixels(1998848);
  std::vector<std::uint64_t> reserved;
  int size = 0;
  {
    SGM_GPU gpu({[&](cv::Mat left, cv::Mat, int d, int, int) {
                   size = d;
                   return cv::Mat(left.size(), CV_16S, cv::Scalar(560));
                 },
                 [&](std::uint64_t bytes) { reserved.push_back(bytes); }});
    const sv::Var result = gpu.Compute(cv::Mat(50, 100, CV_8U), cv::Mat(50, 100, CV_8U), 20, 80);
    const cv::Mat left = result[0].castAs<cv::Mat>();
    EXPECT_EQ(size, 64);
    EXPECT_EQ(left.at<float>(10, 19), 0.0f);
    EXPECT_EQ(left.at<float>(10, 20), 55.0f);
    EXPECT_EQ(left.at<float>(49, 99), 55.0f);
  }
  EXPECT_EQ(reserved, (std::vector<std::uint64_t>{1998848ull * 1024, 0}));
  EXPECT_EQ(log.count(fw::kLogInfo, "Preparing 1952MB GPU memory."), 1);
  EXPECT_EQ(SGM_GPU::disparitySize(-5), 64);
  EXPECT_EQ(SGM_GPU::disparitySize(128), 128);
  EXPECT_EQ(SGM_GPU::disparitySize(129), 256);
}

TEST(SgmGpu, RefusesAShiftOrBandSizeThatLeavesNothingToMatch) {
  LogLines log;
  SGM_GPU gpu(rowLocalFront());
  const cv::Mat image(40, 64, CV_8U, cv::Scalar(3));
  EXPECT_TRUE(gpu.Compute(image, image, 64, 100).isUndefined());
  EXPECT_EQ(log.count(fw::kLogError, "smallest disparity 64 leaves no columns of 64"), 1);
  BandPixels none(0);
  EXPECT_TRUE(gpu.Compute(image, image, 0, 10).isUndefined());
  EXPECT_EQ(log.count(fw::kLogError, "band size 0 pixels is not positive"), 1);
}

TEST(SgmGpu, BandsWithContextEqualOneBand) {
  cv::Mat left, right;
  texturedPair(&left, &right, cv::Size(200, 300));
  cv::Mat whole, banded;
  {
    BandPixels one(1 << 30);
    whole = SGM_GPU(rowLocalFront()).Compute(left, right, 10, 70)[0].castAs<cv::Mat>();
  }
  {
    BandPixels many(190 * 40);
    banded = SGM_GPU(rowLocalFront()).Compute(left, right, 10, 70)[0].castAs<cv::Mat>();
  }
  const cv::Range inner(1, left.rows - 1);
  EXPECT_EQ(cv::norm(whole.rowRange(inner), banded.rowRange(inner), cv::NORM_INF), 0.0);
}

TEST(SgmGpu, AgreesWithTheCpuMatcherOverAStereoSgbmBand) {
  cv::Mat left, right;
  texturedPair(&left, &right, cv::Size(320, 240));
  BandPixels bands(300 * 70);
  SGM_GPU gpu({[](cv::Mat l, cv::Mat r, int size, int, int) {
                 cv::Mat d;
                 cv::StereoSGBM::create(0, size, 3, 72, 288, 1, 63, 30, 100, 32)->compute(l, r, d);
                 return withBorder(d);
               },
               [](std::uint64_t) {}});
  const cv::Mat fromGpu = gpu.Compute(left, right, 20, 60)[0].castAs<cv::Mat>();
  const cv::Mat fromCpu = SGM_CPU().Compute(left, right, 20, 60)[0].castAs<cv::Mat>();
  int both = 0, close = 0;
  for (int r = 0; r < left.rows; ++r)
    for (int c = 0; c < left.cols; ++c) {
      const float g = fromGpu.at<float>(r, c), p = fromCpu.at<float>(r, c);
      if (g < 20 || p < 20) continue;  // rejected (19) or unseen (0)
      ++both;
      close += std::abs(g - p) <= 1.0f;
    }
  ASSERT_GT(both, left.total() / 4);
  EXPECT_GE(close, 0.95 * both);
}

}  // namespace
