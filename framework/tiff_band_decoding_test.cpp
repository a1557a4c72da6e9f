#include "framework/tiff_band_decoding.h"

#include "framework/band_decoding_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

cv::Mat texture(int cols, int rows, int type) { return bandtest::noise(cols, rows, type, 11); }

std::vector<unsigned char> tiff(const cv::Mat& image, std::vector<int> parameters = {}) {
  return bandtest::encoded(".tif", image, parameters);
}

TEST(TiffBandDecoding, GivesTheWholeDecodeReducedForEveryStripLayout) {
  // Odd sizes: partial blocks at the right and bottom, and several bands of rows.
  const std::vector<std::pair<std::string, std::vector<unsigned char>>> files = {
      {"colour", tiff(texture(203, 157, CV_8UC3))},
      {"grey", tiff(texture(203, 157, CV_8UC1))},
      {"colour with alpha", tiff(texture(203, 157, CV_8UC4))},
      {"16-bit colour", tiff(texture(203, 157, CV_16UC3))},
      {"16-bit grey", tiff(texture(97, 301, CV_16UC1))},
      {"16-bit colour with alpha", tiff(texture(97, 301, CV_16UC4))},
      {"uncompressed", tiff(texture(203, 157, CV_8UC3), {cv::IMWRITE_TIFF_COMPRESSION, 1})},
  };
  for (const auto& [kind, bytes] : files) {
    ASSERT_TRUE(fw::isBandDecodableTiff(bytes)) << kind;
    EXPECT_TRUE(fw::reducesWhileDecoding(bytes)) << kind;
    bandtest::expectReducedLikeTheWholeDecode(kind, bytes);
  }
}

TEST(TiffBandDecoding, OtherFilesAreLeftToTheWholeDecode) {
  const std::vector<unsigned char> bytes = tiff(texture(64, 48, CV_8UC3));
  // Cut short: the rows that are missing fail the decode rather than coming out black.
  const std::vector<unsigned char> truncated(bytes.begin(), bytes.begin() + bytes.size() / 2);
  EXPECT_TRUE(fw::decodeTiffReducedInBands(truncated, 2).empty());
  EXPECT_FALSE(fw::isBandDecodableTiff(bandtest::encoded(".png", texture(64, 48, CV_8UC3))));
  EXPECT_FALSE(fw::isBandDecodableTiff({'I', 'I', 42, 0, 8, 0, 0, 0}));
  EXPECT_TRUE(fw::decodeTiffReducedInBands({'n', 'o'}, 2).empty());
}

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && \
    !__has_feature(address_sanitizer) && !__has_feature(thread_sanitizer)
// The sanitizers reserve far more address space than a limit near the process's own size.
TEST(TiffBandDecodingDeathTest, ALargeTiffIsReducedWithinLittleMemory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      bandtest::decodeLargeFrameUnderAddressLimit([](const cv::Mat& image) { return tiff(image); }),
      testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
