// The device kernels, run on the CPU by an emulation of the CUDA execution model, against
// the reference stages: indexing, launch geometry, staging, shuffles and reductions.
#include "device_emulation.h"

#include "census_kernel.cuh"
#include "check_consistency_kernel.cuh"
#include "correct_disparity_range_kernel.cuh"
#include "cost_aggregation_kernel.cuh"
#include "median_kernel.cuh"
#include "winner_takes_all_kernel.cuh"

#include "reference_matcher.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

namespace reference = sgm::reference;

struct Case {
  int width, height, D, path_mode, census_mode;
  bool subpixel;
  int min_disparity;
};

// Textured pair at a disparity that grows across the image, with zero pixels in the left.
void makePair(int width, int height, std::vector<std::uint8_t>* left,
              std::vector<std::uint8_t>* right) {
  std::mt19937 rng(static_cast<unsigned>(width * 7 + height));
  std::uniform_int_distribution<int> value(0, 255);
  std::vector<int> scene(static_cast<std::size_t>(width + 16) * height);
  for (int& v : scene) v = value(rng);
  left->resize(static_cast<std::size_t>(width) * height);
  right->resize(left->size());
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * width + x;
      (*left)[i] = static_cast<std::uint8_t>(scene[y * (width + 16) + x + 8]);
      (*right)[i] = static_cast<std::uint8_t>(scene[y * (width + 16) + x + 8 + (x * 5) / width]);
    }
}

template <typename T, typename Word, int Mode>
std::vector<std::uint64_t> emulatedCensus(const std::vector<T>& src, int width, int height) {
  std::vector<Word> out(src.size(), 0);
  emulation::launch(sgm::device::census::grid(width, height),
                    dim3(sgm::device::census::kBlockWidth), [&] {
                      sgm::device::census::censusKernel<T, Word, Mode>(
                          src.data(), width, out.data(), width, width, height);
                    });
  return std::vector<std::uint64_t>(out.begin(), out.end());
}

template <typename C, int D>
std::vector<std::uint8_t> emulatedCosts(const std::vector<std::uint64_t>& left64,
                                        const std::vector<std::uint64_t>& right64, int width,
                                        int height, const sgm::MatcherParameters& p) {
  using namespace sgm::device::aggregation;
  const std::vector<C> left(left64.begin(), left64.end()), right(right64.begin(), right64.end());
  const int paths = sgm::pathCount(p.path_mode);
  const std::size_t slice = static_cast<std::size_t>(width) * height * D;
  std::vector<std::uint8_t> costs(slice * paths, 0xAB);
  for (int k = 0; k < paths; ++k) {
    const PathLaunch l = pathLaunch<D>(kPathDx[k], kPathDy[k], width, height);
    const PathArgs a{width,
                     height,
                     kPathDx[k],
                     kPathDy[k],
                     l.lines,
                     static_cast<int>(p.P1),
                     static_cast<int>(p.P2),
                     p.min_disparity};
    std::uint8_t* out = costs.data() + slice * k;
    emulation::launch(dim3(l.blocks), dim3(l.threads), [&] {
      if (a.dy == 0)
        aggregateKernel<C, D, kRowDisparitiesPerThread>(left.data(), right.data(), out, a);
      else
        aggregateKernel<C, D, kLongDisparitiesPerThread>(left.data(), right.data(), out, a);
    });
  }
  return costs;
}

template <int D>
reference::Disparities emulatedWinners(const std::vector<std::uint8_t>& costs, int width,
                                       int height, const sgm::MatcherParameters& p) {
  using namespace sgm::device::wta;
  reference::Disparities out{std::vector<std::uint16_t>(width * height, 0x5555),
                             std::vector<std::uint16_t>(width * height, 0x5555)};
  const WtaArgs a{width, height, width, width, p.uniqueness, p.subpixel};
  emulation::launch(dim3(blocks(height)), dim3(kThreads), [&] {
    if (p.path_mode == sgm::kPathMode4)
      winnerKernel<D, 4>(costs.data(), out.left.data(), out.right.data(), a);
    else
      winnerKernel<D, 8>(costs.data(), out.left.data(), out.right.data(), a);
  });
  return out;
}

template <typename T, int PerThread>
std::vector<T> emulatedMedian(const std::vector<T>& src, int width, int height) {
  using namespace sgm::device::median;
  std::vector<T> out(src.size(), 0x55);
  emulation::launch(grid<PerThread>(width, height), dim3(kBlockSide, kBlockSide), [&] {
    medianKernel<T, PerThread>(src.data(), out.data(), width, height, width);
  });
  return out;
}

template <int D, typename C>
void expectStagesMatch(const Case& c) {
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
  const int w = c.width, h = c.height;

  const auto census_left =
      reference::censusImage(left.data(), sgm::ImageType::k8Bit, w, h, c.census_mode);
  const auto census_right =
      reference::censusImage(right.data(), sgm::ImageType::k8Bit, w, h, c.census_mode);
  if (c.census_mode == sgm::kCensus9x7) {
    EXPECT_EQ((emulatedCensus<std::uint8_t, std::uint64_t, 0>(left, w, h)), census_left);
  } else {
    EXPECT_EQ((emulatedCensus<std::uint8_t, std::uint32_t, 1>(left, w, h)), census_left);
  }

  const auto costs = reference::aggregateCosts(census_left, census_right, w, h, D, p);
  EXPECT_EQ((emulatedCosts<C, D>(census_left, census_right, w, h, p)), costs);

  const reference::Disparities winners = reference::winnerTakesAll(costs, w, h, D, p);
  const reference::Disparities emulated = emulatedWinners<D>(costs, w, h, p);
  EXPECT_EQ(emulated.left, winners.left);
  EXPECT_EQ(emulated.right, winners.right);

  auto filtered = reference::medianFilter(winners.left, w, h);
  const auto filtered_right = reference::medianFilter(winners.right, w, h);
  EXPECT_EQ((emulatedMedian<std::uint16_t, 2>(winners.left, w, h)), filtered);
  EXPECT_EQ((emulatedMedian<std::uint16_t, 1>(winners.left, w, h)), filtered);

  auto checked = filtered;
  reference::checkConsistency(checked, filtered_right, left.data(), sgm::ImageType::k8Bit, w, h,
                              c.subpixel, p.lr_max_diff);
  {
    using namespace sgm::device::consistency;
    const ConsistencyArgs a{w, h, w, w, w, c.subpixel, p.lr_max_diff};
    emulation::launch(grid(w, h), dim3(kBlockSide, kBlockSide), [&] {
      consistencyKernel<std::uint8_t>(filtered.data(), filtered_right.data(), left.data(), a);
    });
    EXPECT_EQ(filtered, checked);
  }
  reference::correctDisparityRange(checked, c.subpixel, c.min_disparity);
  if (sgm::rangeCorrectionNeeded(c.subpixel, c.min_disparity)) {
    using namespace sgm::device::range;
    emulation::launch(grid(w, h), dim3(kBlockSide, kBlockSide), [&] {
      correctKernel<std::uint16_t>(filtered.data(), w, h, w, c.subpixel, c.min_disparity);
    });
  }
  EXPECT_EQ(filtered, checked);
}

// Sizes off every block multiple.
TEST(EmulatedKernels, TinyImageFourPaths) {
  expectStagesMatch<64, std::uint64_t>({7, 5, 64, 0, 0, false, 0});
}

TEST(EmulatedKernels, NegativeMinimumDisparity128) {
  expectStagesMatch<128, std::uint32_t>({41, 29, 128, 1, 1, true, -3});
}

TEST(EmulatedKernels, Disparity256) {
  expectStagesMatch<256, std::uint32_t>({23, 9, 256, 1, 1, true, 0});
}

// Two census blocks each way and several blocks of every other kernel.
TEST(EmulatedKernels, SeveralBlocksEachWay) {
  expectStagesMatch<64, std::uint64_t>({130, 21, 64, 1, 0, false, 2});
}

TEST(EmulatedKernels, EightBitMedianAndWideCensus) {
  const int w = 37, h = 19;
  std::vector<std::uint8_t> image, other;
  makePair(w, h, &image, &other);
  std::vector<std::uint16_t> wide(image.begin(), image.end());
  const auto expected16 = reference::medianFilter(wide, w, h);
  std::vector<std::uint8_t> expected(expected16.size());
  for (std::size_t i = 0; i < expected.size(); ++i)
    expected[i] = expected16[i] == sgm::kInvalidDisparity ? 255 : expected16[i];
  EXPECT_EQ((emulatedMedian<std::uint8_t, 4>(image, w, h)), expected);
  EXPECT_EQ((emulatedMedian<std::uint8_t, 1>(image, w, h)), expected);
  for (auto& v : wide) v = static_cast<std::uint16_t>(v * 300);
  EXPECT_EQ((emulatedCensus<std::uint16_t, std::uint32_t, 1>(wide, w, h)),
            reference::censusImage(wide.data(), sgm::ImageType::k16Bit, w, h, 1));
}

}  // namespace
