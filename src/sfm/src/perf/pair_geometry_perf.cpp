// Cost of verifying a pair of frames: the search for the essential matrix (the front end's
// five-point search against the library's), choosing its motion by the matches in front of
// both cameras (closed-form depths against the library's triangulation), and turning a
// feature's patch for a view of a return leg (the fixed-point warp against the library's).

#include "essential_motion.h"
#include "essential_ransac.h"
#include "turned_patch.h"

#include <benchmark/benchmark.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

struct Matches {
  std::vector<cv::Point2d> pa, pb;
};

// 400 matches of a deep scene seen from two places, a share of them wrong, placed to a
// third of a pixel of a 3400-pixel focal length.
Matches pairMatches(double wrong_share) {
  cv::RNG rng(12);
  Matches m;
  for (int i = 0; i < 400; ++i) {
    const double x = rng.uniform(-0.5, 0.5), y = rng.uniform(-0.4, 0.4);
    const double depth = rng.uniform(5.0, 7.0);
    m.pa.emplace_back(x + rng.gaussian(1e-4), y + rng.gaussian(1e-4));
    m.pb.push_back(
        rng.uniform(0.0, 1.0) < wrong_share
            ? cv::Point2d(rng.uniform(-0.5, 0.5), rng.uniform(-0.4, 0.4))
            : cv::Point2d((x * depth + 1.0) / depth + rng.gaussian(1e-4), y + rng.gaussian(1e-4)));
  }
  return m;
}

void BM_FitEssential(benchmark::State& state) {
  const Matches m = pairMatches(state.range(0) / 100.0);
  sfm::EssentialSearch search;
  search.threshold = 3e-4;
  for (auto _ : state) benchmark::DoNotOptimize(sfm::fitEssential(m.pa, m.pb, search));
}
BENCHMARK(BM_FitEssential)->Arg(15)->Arg(50);

void BM_LibraryFindEssentialMat(benchmark::State& state) {
  const Matches m = pairMatches(state.range(0) / 100.0);
  cv::Mat mask;
  for (auto _ : state) {
    benchmark::DoNotOptimize(cv::findEssentialMat(m.pa, m.pb, 1.0, cv::Point2d(0, 0), cv::RANSAC,
                                                  0.999, 3e-4, 250, mask));
  }
}
BENCHMARK(BM_LibraryFindEssentialMat)->Arg(15)->Arg(50);

// The inliers of a fit, as relating a pair hands them on.
struct Inliers {
  cv::Mat e;
  std::vector<cv::Point2d> pa, pb;
};

Inliers inliersOf(const Matches& m) {
  sfm::EssentialSearch search;
  search.threshold = 3e-4;
  const sfm::EssentialFit fit = sfm::fitEssential(m.pa, m.pb, search);
  Inliers out{fit.e, {}, {}};
  for (size_t i = 0; i < m.pa.size(); ++i) {
    if (!fit.mask.at<uchar>(static_cast<int>(i))) continue;
    out.pa.push_back(m.pa[i]);
    out.pb.push_back(m.pb[i]);
  }
  return out;
}

void BM_MotionInFront(benchmark::State& state) {
  const Inliers in = inliersOf(pairMatches(0.15));
  for (auto _ : state) benchmark::DoNotOptimize(sfm::motionInFront(in.e, in.pa, in.pb));
}
BENCHMARK(BM_MotionInFront);

void BM_LibraryRecoverPose(benchmark::State& state) {
  const Inliers in = inliersOf(pairMatches(0.15));
  cv::Mat r, t;
  for (auto _ : state) {
    cv::Mat mask = cv::Mat::ones(static_cast<int>(in.pa.size()), 1, CV_8U);
    benchmark::DoNotOptimize(
        cv::recoverPose(in.e, in.pa, in.pb, r, t, 1.0, cv::Point2d(0, 0), mask));
  }
}
BENCHMARK(BM_LibraryRecoverPose);

cv::Mat texturedPatch() {
  cv::Mat patch(15, 15, CV_8U);
  cv::RNG(4).fill(patch, cv::RNG::UNIFORM, 0, 256);
  return patch;
}

const cv::Matx22f kHalfTurn(std::cos(3.0), -std::sin(3.0), std::sin(3.0), std::cos(3.0));

void BM_TurnedPatch(benchmark::State& state) {
  const cv::Mat patch = texturedPatch();
  for (auto _ : state) benchmark::DoNotOptimize(sfm::turnedPatch(patch, kHalfTurn));
}
BENCHMARK(BM_TurnedPatch);

void BM_LibraryWarpAffine(benchmark::State& state) {
  const cv::Mat patch = texturedPatch();
  const cv::Point2f middle(7, 7);
  const cv::Point2f moved = kHalfTurn * cv::Vec2f(middle.x, middle.y);
  const cv::Matx23f affine(kHalfTurn(0, 0), kHalfTurn(0, 1), middle.x - moved.x, kHalfTurn(1, 0),
                           kHalfTurn(1, 1), middle.y - moved.y);
  cv::Mat out;
  for (auto _ : state) {
    cv::warpAffine(patch, out, affine, patch.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    benchmark::DoNotOptimize(out.data);
  }
}
BENCHMARK(BM_LibraryWarpAffine);

}  // namespace
