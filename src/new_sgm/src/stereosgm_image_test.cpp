#include "stereosgm_image.h"
#include "stereosgm_front.h"
#include "stereosgm_reference.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <stdexcept>
#include <string>

namespace {

// A textured pair at disparity 12: left column c shows what right column c - 12 shows.
void texturedPair(int rows, int cols, cv::Mat* left, cv::Mat* right) {
  cv::Mat wide(rows, cols + 12, CV_8UC1);
  cv::randu(wide, 1, 255);
  *left = wide.colRange(0, cols).clone();
  *right = wide.colRange(12, cols + 12).clone();
}

template <typename Call>
std::string logicErrorText(Call call) {
  try {
    call();
  } catch (const std::logic_error& e) {
    return e.what();
  }
  return "no std::logic_error";
}

TEST(FrontParameters, FixedValuesAndPathChoice) {
  const sgm::MatcherParameters p = sgm_front::frontParameters(-3, 4);
  EXPECT_EQ(p.P1, 10u);
  EXPECT_EQ(p.P2, 120u);
  EXPECT_FLOAT_EQ(p.uniqueness, 0.95f);
  EXPECT_TRUE(p.subpixel);
  EXPECT_EQ(p.path_mode, sgm::kPathMode4);
  EXPECT_EQ(p.min_disparity, -3);
  EXPECT_EQ(p.lr_max_diff, 1);
  EXPECT_EQ(p.census_mode, sgm::kCensusSymmetric);
  EXPECT_EQ(sgm_front::frontParameters(0, 8).path_mode, sgm::kPathMode8);
  EXPECT_EQ(sgm_front::frontParameters(0, 5).path_mode, sgm::kPathMode8);
}

// The front's refusals come before any device call, so they hold on every machine and for
// the CPU twin alike.
TEST(FrontChecks, RefusesBadInputsBeforeMatching) {
  cv::Mat left, right;
  texturedPair(20, 30, &left, &right);
#ifdef VM_HAVE_CUDA
  const auto fronts = {&computeDisparitySGM, &referenceDisparitySGM};
#else
  const auto fronts = {&referenceDisparitySGM};  // the stand-in refuses every pair
#endif
  for (auto* match : fronts) {
    SCOPED_TRACE(match == &referenceDisparitySGM ? "reference twin" : "device front");
    EXPECT_EQ(logicErrorText([&] { match(left, right, 100, 0, 4); }),
              "disparity size must be 64 or 128 or 256");
    // D 256 from 1800 fits unsigned 16 bits but not the signed result.
    EXPECT_EQ(logicErrorText([&] { match(left, right, 256, 1800, 4); }),
              "output depth bits must be sufficient for representing output value");
    cv::Mat colour;
    cv::merge(std::vector<cv::Mat>{left, left, left}, colour);
    EXPECT_EQ(logicErrorText([&] { match(colour, right, 64, 0, 4); }),
              "left and right images must be 8-bit single-channel");
    EXPECT_EQ(logicErrorText([&] { match(left, right.rowRange(0, 19), 64, 0, 4); }),
              "left and right images must have the same size");
    EXPECT_EQ(logicErrorText([&] { match(cv::Mat(), cv::Mat(), 64, 0, 4); }),
              "image width and height must be positive");
  }
}

TEST(FrontTwin, PaddedRowsMatchLikePackedOnes) {
  cv::Mat left, right;
  texturedPair(24, 40, &left, &right);
  cv::Mat wide_left(30, 50, CV_8UC1, cv::Scalar(7)), wide_right(30, 50, CV_8UC1, cv::Scalar(9));
  left.copyTo(wide_left(cv::Rect(3, 2, 40, 24)));
  right.copyTo(wide_right(cv::Rect(5, 4, 40, 24)));
  const cv::Mat padded = referenceDisparitySGM(wide_left(cv::Rect(3, 2, 40, 24)),
                                               wide_right(cv::Rect(5, 4, 40, 24)), 64, 0, 8);
  const cv::Mat packed = referenceDisparitySGM(left, right, 64, 0, 8);
  ASSERT_EQ(padded.type(), CV_16SC1);
  EXPECT_EQ(cv::countNonZero(padded != packed), 0);
  // Invalid pixels, the border among them, read 16 x (0 - 1).
  EXPECT_EQ(packed.at<short>(0, 0), -16);
  EXPECT_EQ(packed.at<short>(23, 39), -16);
  EXPECT_NEAR(packed.at<short>(12, 20), 12 * 16, 8);
}

TEST(FrontWithoutDevice, ReportsNoDeviceAndRefusesToMatch) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const bool device = probeCudaDevice();
  const std::string said =
      testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr();
  if (device) GTEST_SKIP() << "a CUDA device answers on this machine";
  // The depth stage says in words that matching runs on the CPU; the probe says nothing.
  EXPECT_EQ(said, "");
  EXPECT_EQ(getFreeGpuMemoryMB(), 0u);
  cv::Mat left, right;
  texturedPair(20, 30, &left, &right);
  try {
    computeDisparitySGM(left, right, 64, 0, 4);
    FAIL() << "matched without a device";
  } catch (const std::runtime_error& e) {
#ifdef VM_HAVE_CUDA
    EXPECT_EQ(std::string(e.what()).rfind("[CUDA Error] ", 0), 0u) << e.what();
#else
    EXPECT_STREQ(e.what(), "GPU matcher not built");
#endif
  }
}

TEST(FrontReserve, AnnouncesTheSizeOnly) {
  testing::internal::CaptureStdout();
  reserveGpuMemory(2147483648ull);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "New SGM module is used, no graphics memory pre-allocation.  2147483648\n");
}

TEST(FrontCheckCudaError, ThrowsMinusOneOnFailure) {
  EXPECT_NO_THROW(checkCudaError(0, "f.cpp", 1));
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int thrown = 0;
  try {
    checkCudaError(2, "f.cpp", 76);
  } catch (int code) {
    thrown = code;
  }
  const std::string out = testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(thrown, -1);
#ifdef VM_HAVE_CUDA
  EXPECT_EQ(out.rfind("cuda error f.cpp : 76 ", 0), 0u) << out;
#endif
}

}  // namespace
