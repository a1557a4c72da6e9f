#include "framework/config_store.h"
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"
#include "src/PointsFusion/src/stereo_dense/sgm_gpu.h"
#include "src/new_sgm/src/stereosgm_reference.h"
#include "tools/perspective_renderer.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kScaleDown = 2;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr int kScaleDown = 2;
#else
constexpr int kScaleDown = 1;
#endif
#else
constexpr int kScaleDown = 1;
#endif

// Ground 34-46 m below the cameras, roofs up to 17 m high: disparities of about 60-120 px.
constexpr double kBaseline = 5.5;   // metres, along the image rows
constexpr double kAltitude = 40.0;  // above take-off

// A rectified nadir pair over the synthetic scene, with the true disparity of every left
// pixel whose surface point the right view sees too (0 elsewhere).
struct RenderedPair {
  cv::Mat left, right;  // CV_8UC1
  cv::Mat truth;        // CV_32F
  int dmin = 0, dmax = 0;
};

RenderedPair renderPair(const flight::SyntheticScene& scene, double east, double north) {
  flight::PinholeCamera camera;
  camera.width = 640 / kScaleDown;
  camera.height = 480 / kScaleDown;
  camera.fx = camera.fy = 500.0 / kScaleDown;
  camera.cx = (camera.width - 1) / 2.0;
  camera.cy = (camera.height - 1) / 2.0;
  flight::CameraPlacement placement;
  // Camera x east, y south, z down.
  placement.enu_from_camera = cv::Matx33d(1, 0, 0, 0, -1, 0, 0, 0, -1);
  placement.position = cv::Vec3d(east, north, kAltitude);
  const flight::RenderedView left = flight::renderView(scene, camera, placement);
  placement.position[0] += kBaseline;
  const flight::RenderedView right = flight::renderView(scene, camera, placement);

  RenderedPair pair;
  cv::cvtColor(left.image, pair.left, cv::COLOR_BGR2GRAY);
  cv::cvtColor(right.image, pair.right, cv::COLOR_BGR2GRAY);
  pair.truth = cv::Mat::zeros(left.depth.size(), CV_32F);
  for (int r = 0; r < camera.height; ++r) {
    for (int c = 0; c < camera.width; ++c) {
      const float z = left.depth.at<float>(r, c);
      if (z <= 0) continue;
      const double d = camera.fx * kBaseline / z;
      const int cr = static_cast<int>(std::lround(c - d));
      if (cr < 0 || cr >= camera.width) continue;
      if (std::abs(right.depth.at<float>(r, cr) - z) > 0.01 * z) continue;  // occluded
      pair.truth.at<float>(r, c) = static_cast<float>(d);
    }
  }
  pair.dmin = 50 / kScaleDown;
  pair.dmax = 130 / kScaleDown;
  return pair;
}

cv::Mat leftDisparity(sv::Var result) { return result[0].castAs<cv::Mat>(); }

// Share of pixels valid in both maps (at least dmin) that agree within 1 px, and the median
// absolute difference over them.
struct Agreement {
  double share = 0, median = 0;
  long count = 0;
};

Agreement agreement(const cv::Mat& a, const cv::Mat& b, float a_min, float b_min) {
  std::vector<float> errors;
  for (int r = 0; r < a.rows; ++r)
    for (int c = 0; c < a.cols; ++c) {
      const float x = a.at<float>(r, c), y = b.at<float>(r, c);
      if (x >= a_min && y >= b_min) errors.push_back(std::abs(x - y));
    }
  Agreement out;
  out.count = static_cast<long>(errors.size());
  if (errors.empty()) return out;
  out.share = std::count_if(errors.begin(), errors.end(), [](float e) { return e <= 1.0f; }) /
              double(errors.size());
  std::nth_element(errors.begin(), errors.begin() + errors.size() / 2, errors.end());
  out.median = errors[errors.size() / 2];
  return out;
}

class GpuFrontOverReference : public testing::Test {
 protected:
  static void SetUpTestSuite() { scene_ = new flight::SyntheticScene(flight::SceneOptions{}); }
  static void TearDownTestSuite() {
    delete scene_;
    scene_ = nullptr;
  }
  static sv::Var matchWithBands(const RenderedPair& pair, int bands) {
    const int pixels = pair.left.rows * (pair.left.cols - pair.dmin);
    fw::Var::instance().setText("pointsfusion.cut_pixel_num",
                                std::to_string(bands == 1 ? 2000000 : pixels / bands + 1));
    SGM_GPU gpu(GpuMatcherFront{referenceDisparitySGM, [](std::uint64_t) {}});
    return gpu.Compute(pair.left, pair.right, pair.dmin, pair.dmax);
  }
  void checkPair(const RenderedPair& pair, const char* name) {
    const cv::Mat one_band = leftDisparity(matchWithBands(pair, 1));
    const cv::Mat three_bands = leftDisparity(matchWithBands(pair, 3));
    const cv::Mat cpu =
        leftDisparity(SGM_CPU().Compute(pair.left, pair.right, pair.dmin, pair.dmax));
    const float valid = static_cast<float>(pair.dmin);

    const Agreement gpu_cpu = agreement(three_bands, cpu, valid, valid);
    const Agreement bands = agreement(three_bands, one_band, valid, valid);
    const Agreement gpu_truth = agreement(three_bands, pair.truth, valid, 1.0f);
    const Agreement cpu_truth = agreement(cpu, pair.truth, valid, 1.0f);
    const long truth_pixels = cv::countNonZero(pair.truth);
    double lowest = 0, highest = 0;
    cv::minMaxLoc(pair.truth, nullptr, &highest);
    cv::minMaxLoc(pair.truth, &lowest, nullptr, nullptr, nullptr, pair.truth > 0);
    std::printf(
        "%s: truth %.1f-%.1f px, gpu~cpu %.3f (median %.3f px), 3~1 bands %.3f, gpu~truth %.3f "
        "(median "
        "%.3f px, %.3f of truth), cpu~truth %.3f (median %.3f px, %.3f of truth)\n",
        name, lowest, highest, gpu_cpu.share, gpu_cpu.median, bands.share, gpu_truth.share,
        gpu_truth.median, double(gpu_truth.count) / truth_pixels, cpu_truth.share, cpu_truth.median,
        double(cpu_truth.count) / truth_pixels);
    EXPECT_GE(gpu_cpu.share, 0.90);
    EXPECT_GE(bands.share, 0.98);
    EXPECT_GE(gpu_truth.share, 0.90);
    EXPECT_GE(cpu_truth.share, 0.90);
    EXPECT_GE(gpu_truth.count, 0.6 * truth_pixels);
    EXPECT_GE(cpu_truth.count, 0.6 * truth_pixels);
  }
  static flight::SyntheticScene* scene_;
};

flight::SyntheticScene* GpuFrontOverReference::scene_ = nullptr;

TEST_F(GpuFrontOverReference, BuildingsAgreeWithCpuAndTruth) {
  // The highest roof whose surroundings the 51 x 38 m footprint sees inside the scene.
  const flight::Building* highest = nullptr;
  for (const flight::Building& b : scene_->buildings()) {
    const double east = (b.east0 + b.east1) / 2, north = (b.north0 + b.north1) / 2;
    if (std::abs(east) > 70 || std::abs(north) > 75) continue;
    if (!highest || b.roof > highest->roof) highest = &b;
  }
  ASSERT_NE(highest, nullptr);
  checkPair(renderPair(*scene_, (highest->east0 + highest->east1) / 2,
                       (highest->north0 + highest->north1) / 2),
            "buildings");
}

TEST_F(GpuFrontOverReference, OpenHillsAgreeWithCpuAndTruth) {
  // The footprint with the fewest roof cells.
  double best_east = 0, best_north = 0;
  long fewest = -1;
  for (double e = -60; e <= 60; e += 10)
    for (double n = -60; n <= 60; n += 10) {
      long roofs = 0;
      for (double x = e - 26; x <= e + 26; x += 2)
        for (double y = n - 19; y <= n + 19; y += 2)
          roofs += scene_->surfaceHeight(x, y) > scene_->groundHeight(x, y) + 0.5;
      if (fewest < 0 || roofs < fewest) {
        fewest = roofs;
        best_east = e;
        best_north = n;
      }
    }
  checkPair(renderPair(*scene_, best_east, best_north), "hills");
}

}  // namespace
