#include "framework/png_band_decoding.h"

#include "framework/frame_image_decoding.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

// Noise over ramps: every block of every reduction differs from its neighbours.
cv::Mat texture(int cols, int rows, int type) {
  cv::Mat image(rows, cols, type);
  cv::RNG rng(7);
  rng.fill(image, cv::RNG::UNIFORM, 0, CV_MAT_DEPTH(type) == CV_16U ? 65536 : 256);
  return image;
}

std::vector<unsigned char> png(const cv::Mat& image, std::vector<int> parameters = {}) {
  std::vector<unsigned char> bytes;
  cv::imencode(".png", image, bytes, parameters);
  return bytes;
}

TEST(PngBandDecoding, GivesTheWholeDecodeReducedForEveryKindOfPng) {
  // Odd sizes: partial blocks at the right and bottom, and several bands of rows.
  const std::vector<std::pair<std::string, std::vector<unsigned char>>> files = {
      {"colour", png(texture(203, 157, CV_8UC3))},
      {"grey", png(texture(203, 157, CV_8UC1))},
      {"colour with alpha", png(texture(203, 157, CV_8UC4))},
      {"16-bit colour", png(texture(203, 157, CV_16UC3))},
      {"16-bit grey", png(texture(97, 301, CV_16UC1))},
      {"one bit", png(texture(203, 157, CV_8UC1) > 128, {cv::IMWRITE_PNG_BILEVEL, 1})},
  };
  for (const auto& [kind, bytes] : files) {
    ASSERT_TRUE(fw::isBandDecodablePng(bytes)) << kind;
    const cv::Mat whole = fw::decodeFrameImage(bytes);
    ASSERT_FALSE(whole.empty()) << kind;
    for (int factor : {2, 4, 8}) {
      const cv::Mat banded = fw::decodeFrameImageReduced(bytes, factor);
      const cv::Mat expected = fw::reduceFrameImage(whole, factor);
      ASSERT_EQ(banded.size(), expected.size()) << kind << " by " << factor;
      ASSERT_EQ(banded.type(), CV_8UC3);
      EXPECT_EQ(cv::norm(banded, expected, cv::NORM_INF), 0.0) << kind << " by " << factor;
    }
  }
}

TEST(PngBandDecoding, RefusesWhatItCannotReadInBands) {
  std::vector<unsigned char> bytes = png(texture(64, 48, CV_8UC3));
  EXPECT_TRUE(fw::reducesWhileDecoding(bytes));
  // Interlaced: its rows are complete only after the last pass.
  std::vector<unsigned char> interlaced = bytes;
  interlaced[28] = 1;
  EXPECT_FALSE(fw::isBandDecodablePng(interlaced));
  EXPECT_FALSE(fw::reducesWhileDecoding(interlaced));
  // Broken data: nothing, rather than a partial image.
  std::vector<unsigned char> truncated(bytes.begin(), bytes.begin() + bytes.size() / 2);
  EXPECT_TRUE(fw::decodePngReducedInBands(truncated, 2).empty());
  std::vector<unsigned char> corrupt = bytes;
  for (size_t i = 60; i < corrupt.size() - 20; i += 7) corrupt[i] ^= 0x5a;
  EXPECT_TRUE(fw::decodePngReducedInBands(corrupt, 4).empty());
  EXPECT_TRUE(fw::decodePngReducedInBands({'n', 'o'}, 2).empty());
}

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && \
    !__has_feature(address_sanitizer) && !__has_feature(thread_sanitizer)
// The sanitizers reserve far more address space than a limit near the process's own size.
// Exits 0 when an 8000 x 6000 PNG (144 MB decoded whole) is decoded reduced by 8 within
// 32 MiB more than the process holds.
void decodeLargePngUnderAddressLimit() {
  std::vector<unsigned char> bytes;
  {
    cv::Mat image(6000, 8000, CV_8UC3, cv::Scalar(10, 20, 30));
    image(cv::Rect(4000, 3000, 8, 8)).setTo(cv::Scalar(200, 200, 200));
    bytes = png(image, {cv::IMWRITE_PNG_COMPRESSION, 1, cv::IMWRITE_PNG_STRATEGY,
                        cv::IMWRITE_PNG_STRATEGY_RLE});
  }
  long pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const rlim_t limit = static_cast<rlim_t>(pages) * ::getpagesize() + (32 << 20);
  const rlimit room{limit, limit};
  setrlimit(RLIMIT_AS, &room);
  const cv::Mat reduced = fw::decodeFrameImageReduced(bytes, 8);
  const bool right = reduced.cols == 1000 && reduced.rows == 750 &&
                     reduced.at<cv::Vec3b>(375, 500) == cv::Vec3b(200, 200, 200) &&
                     reduced.at<cv::Vec3b>(0, 0) == cv::Vec3b(10, 20, 30);
  std::exit(right ? 0 : 1);
}

TEST(PngBandDecodingDeathTest, ALargePngIsReducedWithinLittleMemory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(decodeLargePngUnderAddressLimit(), testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
