#include "tiles/adler32.h"
#include "tiles/cpu_features.h"
#include "tiles/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace {

// Runs a test body once on the plain paths and once with the processor's own features.
class ChecksumPaths : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    saved_ = processorFeatures();
    detectCpuFeatures();
    if (!GetParam()) setProcessorFeatures(ProcessorFeatures{});
  }
  void TearDown() override { setProcessorFeatures(saved_); }

 private:
  ProcessorFeatures saved_;
};

std::vector<uint8_t> randomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

TEST_P(ChecksumPaths, MatchZlibForEveryLengthAndAlignment) {
  const std::vector<uint8_t> data = randomBytes(1024 + 64, 7);
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t len = 0; len <= 1024; ++len) {
      const uint8_t* p = data.data() + offset;
      ASSERT_EQ(crc32Png(p, len, 0), crc32(0, p, static_cast<uInt>(len)))
          << "offset " << offset << " length " << len;
      ASSERT_EQ(adler32Png(p, len, 1), adler32(1, p, static_cast<uInt>(len)))
          << "offset " << offset << " length " << len;
    }
  }
}

TEST_P(ChecksumPaths, ContinueAcrossPiecesAndExtremeBytes) {
  // All-0xFF data drives the Adler sums to their largest values between reductions.
  for (uint8_t fill : {uint8_t{0}, uint8_t{0xFF}}) {
    std::vector<uint8_t> data(300000, fill);
    const uint32_t crcWhole = crc32Png(data.data(), data.size(), 0);
    const uint32_t adlerWhole = adler32Png(data.data(), data.size(), 1);
    EXPECT_EQ(crcWhole, crc32(0, data.data(), static_cast<uInt>(data.size())));
    EXPECT_EQ(adlerWhole, adler32(1, data.data(), static_cast<uInt>(data.size())));
    uint32_t crc = 0, adler = 1;
    for (size_t pos = 0, step = 1; pos < data.size(); pos += step, step = step * 3 + 1) {
      const size_t n = std::min(step, data.size() - pos);
      crc = crc32Png(data.data() + pos, n, crc);
      adler = adler32Png(data.data() + pos, n, adler);
    }
    EXPECT_EQ(crc, crcWhole);
    EXPECT_EQ(adler, adlerWhole);
  }
}

INSTANTIATE_TEST_SUITE_P(Tiles, ChecksumPaths, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Detected" : "Plain");
                         });

TEST(ProcessorFeatures, PlainUntilDetectedAndOverridable) {
  const ProcessorFeatures saved = processorFeatures();
  setProcessorFeatures(ProcessorFeatures{});
  EXPECT_FALSE(crcUsesCarrylessMultiply());
  EXPECT_FALSE(adlerUsesVectorLoop());
  ProcessorFeatures all;
  all.sse = all.sse2 = all.sse3 = all.ssse3 = all.sse41 = all.pclmulqdq = true;
  setProcessorFeatures(all);
  EXPECT_TRUE(crcUsesCarrylessMultiply());
  EXPECT_TRUE(adlerUsesVectorLoop());
  all.pclmulqdq = false;
  setProcessorFeatures(all);
  EXPECT_FALSE(crcUsesCarrylessMultiply());
  EXPECT_TRUE(adlerUsesVectorLoop());
  setProcessorFeatures(saved);
}

}  // namespace
