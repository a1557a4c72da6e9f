#include "cuda_utils.h"
#include "reference_matcher.h"
#include "semi_global_matcher.h"

#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

#define REQUIRE_DEVICE()                                                  \
  do {                                                                    \
    const int code = sgm::runProbeKernel();                               \
    if (code != 0)                                                        \
      GTEST_SKIP() << "no usable CUDA device: "                           \
                   << cudaGetErrorString(static_cast<cudaError_t>(code)); \
  } while (0)

// A textured pair whose disparity changes across the image, with noise in the right view.
template <typename T>
void makePair(int width, int height, std::vector<T>* left, std::vector<T>* right) {
  std::mt19937 rng(static_cast<unsigned>(width * 31 + height));
  std::uniform_int_distribution<int> value(1, 250), noise(-2, 2);
  std::vector<int> scene(static_cast<std::size_t>(width + 64) * height);
  for (int& v : scene) v = value(rng);
  left->resize(static_cast<std::size_t>(width) * height);
  right->resize(left->size());
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int d = 10 + (20 * x) / width + (y % 7 == 0 ? 3 : 0);
      const std::size_t i = static_cast<std::size_t>(y) * width + x;
      (*left)[i] = static_cast<T>(scene[static_cast<std::size_t>(y) * (width + 64) + x + 32]);
      (*right)[i] = static_cast<T>(
          std::max(0, scene[static_cast<std::size_t>(y) * (width + 64) + x + 32 + d] + noise(rng)));
    }
  }
  (*left)[left->size() / 2] = 0;  // a zero-intensity pixel: always invalid
}

struct Config {
  int width, height, D, path_mode, census_mode;
  bool subpixel;
  int min_disparity;
};

void expectBitIdentical(const Config& c) {
  SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " D" << c.D << " paths"
                                  << c.path_mode << " census" << c.census_mode << " subpixel"
                                  << c.subpixel << " min" << c.min_disparity);
  std::vector<std::uint8_t> left, right;
  makePair(c.width, c.height, &left, &right);
  sgm::MatcherParameters p;
  p.path_mode = c.path_mode;
  p.census_mode = c.census_mode;
  p.subpixel = c.subpixel;
  p.min_disparity = c.min_disparity;
  const std::size_t n = left.size();
  std::vector<std::uint16_t> expected(n), actual(n, 0x1234);
  sgm::ReferenceMatcher(c.width, c.height, c.D, 8, 16, p)
      .execute(left.data(), right.data(), expected.data());
  sgm::SemiGlobalMatcher(c.width, c.height, c.D, 8, 16, sgm::kHostInHostOut, p)
      .execute(left.data(), right.data(), actual.data());
  std::size_t differing = 0;
  for (std::size_t i = 0; i < n; ++i) differing += expected[i] != actual[i];
  EXPECT_EQ(differing, 0u);
}

TEST(DeviceMatcher, BitIdenticalToReferenceOnTinyImages) {
  REQUIRE_DEVICE();
  for (int D : {64, 128, 256})
    for (int paths : {0, 1})
      for (int census : {0, 1})
        for (bool subpixel : {false, true})
          for (int min_disparity : {0, -200})
            expectBitIdentical({7, 5, D, paths, census, subpixel, min_disparity});
}

// Every value of every option at 1001 x 757, off every block multiple.
TEST(DeviceMatcher, BitIdenticalAtOddSizeD64) {
  REQUIRE_DEVICE();
  expectBitIdentical({1001, 757, 64, 0, 0, false, 0});
  expectBitIdentical({1001, 757, 64, 1, 1, true, -200});
}

TEST(DeviceMatcher, BitIdenticalAtOddSizeD128) {
  REQUIRE_DEVICE();
  expectBitIdentical({1001, 757, 128, 1, 0, true, 0});
  expectBitIdentical({1001, 757, 128, 0, 1, false, -200});
}

TEST(DeviceMatcher, BitIdenticalAtOddSizeD256) {
  REQUIRE_DEVICE();
  expectBitIdentical({1001, 757, 256, 1, 1, true, 0});
  expectBitIdentical({1001, 757, 256, 0, 0, false, -200});
}

TEST(DeviceMatcher, CostVolumePastTwoGigabytes) {
  REQUIRE_DEVICE();
  expectBitIdentical({2048, 1100, 256, 0, 1, true, 0});
}

TEST(DeviceMatcher, DeviceBuffersWideInputsAndEightBitOutput) {
  REQUIRE_DEVICE();
  const int width = 301, height = 203;
  std::vector<std::uint16_t> left, right;
  makePair(width, height, &left, &right);
  sgm::MatcherParameters p;
  p.subpixel = false;
  p.min_disparity = 3;
  const std::size_t n = left.size();
  std::vector<std::uint8_t> expected(n), actual(n);
  sgm::ReferenceMatcher(width, height, 64, 16, 8, p)
      .execute(left.data(), right.data(), expected.data());
  void *d_left = nullptr, *d_right = nullptr, *d_out = nullptr;
  ASSERT_EQ(cudaMalloc(&d_left, n * 2), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&d_right, n * 2), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&d_out, n), cudaSuccess);
  cudaMemcpy(d_left, left.data(), n * 2, cudaMemcpyHostToDevice);
  cudaMemcpy(d_right, right.data(), n * 2, cudaMemcpyHostToDevice);
  sgm::SemiGlobalMatcher(width, height, 64, 16, 8, sgm::kDeviceIn | sgm::kDeviceOut, p)
      .execute(d_left, d_right, d_out);
  cudaMemcpy(actual.data(), d_out, n, cudaMemcpyDeviceToHost);
  cudaFree(d_left);
  cudaFree(d_right);
  cudaFree(d_out);
  EXPECT_EQ(actual, expected);
}

std::size_t freeDeviceBytes() {
  std::size_t free_bytes = 0, total = 0;
  cudaMemGetInfo(&free_bytes, &total);
  return free_bytes;
}

TEST(DeviceMatcher, NoDeviceMemoryOutlivesARunOrAFailedAllocation) {
  REQUIRE_DEVICE();
  const std::size_t before = freeDeviceBytes();
  expectBitIdentical({200, 100, 64, 1, 1, true, 0});
  EXPECT_EQ(freeDeviceBytes(), before);
  // Buffers far beyond any device: the constructor throws and frees what it had.
  EXPECT_THROW(sgm::SemiGlobalMatcher(200000, 200000, 256, 8, 16, sgm::kHostInHostOut, {}),
               std::runtime_error);
  EXPECT_EQ(freeDeviceBytes(), before);
}

}  // namespace
