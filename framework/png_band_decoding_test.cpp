#include "framework/png_band_decoding.h"

#include "framework/band_decoding_test_support.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <string>
#include <vector>

namespace {

cv::Mat texture(int cols, int rows, int type) { return bandtest::noise(cols, rows, type, 7); }

std::vector<unsigned char> png(const cv::Mat& image, std::vector<int> parameters = {}) {
  return bandtest::encoded(".png", image, parameters);
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
    bandtest::expectReducedLikeTheWholeDecode(kind, bytes);
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
TEST(PngBandDecodingDeathTest, ALargePngIsReducedWithinLittleMemory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(bandtest::decodeLargeFrameUnderAddressLimit([](const cv::Mat& image) {
                return png(image, {cv::IMWRITE_PNG_COMPRESSION, 1, cv::IMWRITE_PNG_STRATEGY,
                                   cv::IMWRITE_PNG_STRATEGY_RLE});
              }),
              testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
