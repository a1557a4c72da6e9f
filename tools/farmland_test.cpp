#include "synthetic_scene.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace flight {
namespace {

SceneOptions farmArea() {
  SceneOptions o;
  o.east_min = -150;
  o.east_max = 150;
  o.north_min = -150;
  o.north_max = 150;
  o.furrowed_fields = true;
  return o;
}

const SyntheticScene& farm() {
  static const SyntheticScene scene(farmArea());
  return scene;
}

TEST(Farmland, HasTheRoadAFewBuildingsTreesWithCrownsAndMarkersOnTheRoadOnly) {
  const SyntheticScene& scene = farm();
  for (double n = -140; n <= 140; n += 10) EXPECT_EQ(scene.surfaceHeight(2.0, n), 0.0) << n;
  EXPECT_GE(scene.buildings().size(), 1u);
  EXPECT_LE(scene.buildings().size(), 3u);
  ASSERT_GE(scene.trees().size(), 5u);
  int alone = 0;
  for (const Tree& t : scene.trees()) {
    EXPECT_GT(std::abs(t.east), 8.0) << "no tree on the road";
    const bool crowded =
        std::any_of(scene.trees().begin(), scene.trees().end(), [&](const Tree& o) {
          return &o != &t &&
                 std::hypot(o.east - t.east, o.north - t.north) < t.radius + o.radius + 3;
        });
    if (crowded) continue;
    ++alone;
    // The crown stands its height above the ground beside it, and falls steeply at its rim.
    const double beside = scene.groundHeight(t.east + t.radius + 1.5, t.north);
    EXPECT_NEAR(scene.surfaceHeight(t.east, t.north) - beside, t.height, 1.0);
    const double inside = scene.groundHeight(t.east + 0.8 * t.radius, t.north);
    const double outside = scene.groundHeight(t.east + 1.2 * t.radius, t.north);
    EXPECT_GT((inside - outside) / (0.4 * t.radius), 1.0) << "steeper than 45 degrees";
  }
  // The layout's random draws differ a little between compilers (clang contracts other
  // floating-point expressions than g++), so only a couple of trees are sure to stand alone.
  EXPECT_GE(alone, 2);
  ASSERT_FALSE(scene.markers().empty());
  for (const cv::Vec3d& m : scene.markers()) EXPECT_LT(std::abs(m[0]), 4.0) << "on the road";
}

TEST(Farmland, FurrowsRepeatAtLowContrastYetEachPlaceMatchesOnlyItself) {
  const SyntheticScene& scene = farm();
  cv::Mat grey;
  cv::cvtColor(scene.orthophoto(), grey, cv::COLOR_BGR2GRAY);
  grey.convertTo(grey, CV_32F);
  // Patches of 3 m on the fields, shifted up to 4 m around their place: the furrows repeat
  // within that reach, so a patch matches a shifted copy closely, though never as well as
  // its own place (the soil's grain and the tramlines tell them apart).
  const int half = 15, reach = 40;
  std::vector<double> repeats, contrasts;
  cv::RNG rng(5);
  while (repeats.size() < 40) {
    const int c = rng.uniform(half + reach, grey.cols - half - reach);
    const int r = rng.uniform(half + reach, grey.rows - half - reach);
    const double e = scene.options().east_min + c * 0.1, n = scene.options().north_max - r * 0.1;
    if (std::abs(e) < 15) continue;  // the road
    const cv::Rect place(c - half, r - half, 2 * half + 1, 2 * half + 1);
    const cv::Mat patch = grey(place);
    cv::Scalar mean, deviation;
    cv::meanStdDev(patch, mean, deviation);
    if (deviation[0] / mean[0] > 0.15) continue;  // a margin, a tree or a building
    contrasts.push_back(deviation[0] / mean[0]);
    cv::Mat scores;
    const cv::Rect around(place.x - reach, place.y - reach, place.width + 2 * reach,
                          place.height + 2 * reach);
    cv::matchTemplate(grey(around), patch, scores, cv::TM_CCOEFF_NORMED);
    scores(cv::Rect(reach - 2, reach - 2, 5, 5)).setTo(-1.0f);  // the place itself
    double best_elsewhere = 0;
    cv::minMaxLoc(scores, nullptr, &best_elsewhere);
    repeats.push_back(best_elsewhere);
  }
  std::sort(repeats.begin(), repeats.end());
  std::sort(contrasts.begin(), contrasts.end());
  const double median_repeat = repeats[repeats.size() / 2];
  EXPECT_GT(median_repeat, 0.8) << "the furrows look alike";
  EXPECT_LT(repeats.back(), 0.985) << "yet a place matches itself best";
  EXPECT_LT(contrasts[contrasts.size() / 2], 0.08) << "low contrast";
}

}  // namespace
}  // namespace flight
