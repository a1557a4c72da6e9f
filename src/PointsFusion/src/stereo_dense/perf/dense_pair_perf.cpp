// One stereo pair through the whole depth computation (depth range, the images' check of
// the relative motion, rectification, matching, conversion to depth) at the default scale,
// against OpenCV's StereoSGBM alone with the CPU calculator's parameters on the same
// rectified grey pair, and against the check of the relative motion alone, by the images or by
// the frames' shared key points; the check's descriptor matching against OpenCV's brute-force
// matcher.

#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/mutual_matches.h"
#include "src/PointsFusion/src/stereo_dense/pair_motion.h"
#include "src/PointsFusion/src/stereo_dense/rendered_pair_for_tests.h"
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"
#include "src/PointsFusion/src/stereo_dense/tracked_matches.h"

#include "framework/diy_frame.h"
#include "framework/map_point.h"

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/features2d.hpp>

#include <map>

namespace {

// Passes the pair to the CPU calculator and keeps what it was given.
class Recording : public DisparityCalculator {
 public:
  sv::Var Compute(cv::Mat left, cv::Mat right, int dmin, int dmax) override {
    this->left = left;
    this->right = right;
    this->dmin = dmin;
    return SGM_CPU().Compute(left, right, dmin, dmax);
  }
  cv::Mat left, right;
  int dmin = 0;
};

struct Pair {
  std::shared_ptr<ImageScaled> reference, neighbour;
  cv::Mat left, right;  // the rectified grey pair the matcher saw
  int dmin = 0;
};

// Sources of `width` x `height` pixels over the relief scene 80 m below, 15 m apart. The
// stage holds each source reduced to its working size, a quarter of it: the records hold the
// view rendered at that size.
const Pair& pairOf(int width, int height) {
  static std::map<int, Pair> pairs;
  Pair& pair = pairs[width];
  if (pair.reference) return pair;
  const double f = 0.85 * width;
  densetest::View v;
  v.camera = {double(width), double(height), f, f, (width - 1) / 2.0, (height - 1) / 2.0};
  densetest::View small = v;
  small.camera = {width / 4.0, height / 4.0,          f / 4,
                  f / 4,       (width / 4.0 - 1) / 2, (height / 4.0 - 1) / 2};
  const densetest::Ground plane(false);
  densetest::View next = v, nextSmall = small;
  next.east = nextSmall.east = 15;
  pair.reference = densetest::renderedRecord(plane, v, 1, densetest::renderImage(plane, small));
  pair.neighbour =
      densetest::renderedRecord(plane, next, 2, densetest::renderImage(plane, nextSmall));
  auto recording = std::make_shared<Recording>();
  DenseDepth stage(4.0f, recording);
  stage.ComputeDepth(pair.reference, pair.neighbour);
  pair.left = recording->left;
  pair.right = recording->right;
  pair.dmin = recording->dmin;
  return pair;
}

// After the first pair the records keep their match features, as a frame does for its next
// pair.
void BM_WholePair(benchmark::State& state) {
  const Pair& pair = pairOf(int(state.range(0)), int(state.range(1)));
  cv::setNumThreads(int(state.range(2)));
  DenseDepth stage(4.0f, std::make_shared<SGM_CPU>());
  for (auto _ : state) benchmark::DoNotOptimize(stage.ComputeDepth(pair.reference, pair.neighbour));
  state.counters["width"] = pair.left.cols;
}

void BM_BareStereoSGBM(benchmark::State& state) {
  const Pair& pair = pairOf(int(state.range(0)), int(state.range(1)));
  cv::setNumThreads(int(state.range(2)));
  cv::Mat disparity;
  for (auto _ : state) {
    SGM_CPU::createMatcher(pair.dmin, SGM_CPU::numDisparities(pair.left.cols), 1, SgmCpuOptions())
        ->compute(pair.left, pair.right, disparity);
    benchmark::DoNotOptimize(disparity.data);
  }
  state.counters["width"] = pair.left.cols;
}

// The images' matches and the motions they tell, as the pair task checks its poses with,
// both images' features sought afresh.
void BM_ImageMotion(benchmark::State& state) {
  const Pair& pair = pairOf(int(state.range(0)), int(state.range(1)));
  cv::setNumThreads(int(state.range(2)));
  const fw::Camera camera = pair.reference->frame->getCamera(0);
  const cv::Mat K = pair.reference->imageCameraMatrix(), D = distortionCoeffs(camera);
  for (auto _ : state) {
    const pair_motion::Correspondences matches =
        pair_motion::matchViews(pair.reference->image, K, D, pair.neighbour->image, K, D);
    benchmark::DoNotOptimize(pair_motion::motionsOf(matches, camera.parameters().fx / 4));
  }
}

// Two refined 12 MP frames 15 m apart over ground 80 m below with `count` map points seen by
// both (and as many of their own): key points of one map point paired, and their fit to the
// poses, as a refined pair settles its check without the images.
std::shared_ptr<MapFrame> trackedFrame(uint64_t id, const std::vector<cv::Point2f>& pixels,
                                       uint64_t firstOwn) {
  auto frame = std::make_shared<MapFrame>(
      id, 0.0, fw::GImage(), "",
      fw::Camera(std::vector<double>{4000, 3000, 3400, 3400, 1999.5, 1499.5}),
      std::vector<double>(), 1);
  std::vector<cv::KeyPoint> keypoints;
  for (const cv::Point2f& p : pixels) keypoints.emplace_back(p, 1.0f);
  frame->setKeyPoints(keypoints, fw::GImage());
  const size_t shared = pixels.size() / 2;
  for (size_t i = 0; i < pixels.size(); ++i)
    frame->addObservation(std::make_shared<fw::MapPoint>(i < shared ? i : firstOwn + i), i, false);
  return frame;
}

void BM_TrackedMotion(benchmark::State& state) {
  const int count = int(state.range(0));
  const cv::Vec3d t(-15.0, 0.0, 0.0);
  cv::RNG rng(4);
  std::vector<cv::Point2f> first, second;
  for (int i = 0; i < 2 * count; ++i) {
    const cv::Vec3d p(rng.uniform(-30.0, 30.0), rng.uniform(-25.0, 25.0),
                      80.0 + rng.uniform(0.0, 5.0));
    const cv::Vec3d q = i < count ? p + t : cv::Vec3d(rng.uniform(-30.0, 30.0), 0.0, 80.0);
    first.emplace_back(float(3400 * p[0] / p[2] + 1999.5), float(3400 * p[1] / p[2] + 1499.5));
    second.emplace_back(float(3400 * q[0] / q[2] + 1999.5), float(3400 * q[1] / q[2] + 1499.5));
  }
  const auto a = trackedFrame(1, first, 1000000), b = trackedFrame(2, second, 2000000);
  for (auto _ : state)
    benchmark::DoNotOptimize(
        pair_motion::fitsTracks(tracked_matches::of(*a, *b), cv::Matx33d::eye(), t, 850.0));
}

// Two frames' worth of ORB descriptors matched both ways with the ratio test: by one pass over
// every distance, and by OpenCV's brute-force two-nearest search run each way.
cv::Mat randomDescriptors(int seed) {
  cv::Mat d(pair_motion::kFeatures, 32, CV_8U);
  cv::RNG(seed).fill(d, cv::RNG::UNIFORM, 0, 256);
  return d;
}

void BM_MutualMatches(benchmark::State& state) {
  const cv::Mat a = randomDescriptors(1), b = randomDescriptors(2);
  for (auto _ : state) benchmark::DoNotOptimize(mutual_matches::find(a, b, 0.8));
}

void BM_KnnBothWays(benchmark::State& state) {
  const cv::Mat a = randomDescriptors(1), b = randomDescriptors(2);
  cv::setNumThreads(1);
  std::vector<std::vector<cv::DMatch>> forward, backward;
  for (auto _ : state) {
    cv::BFMatcher(cv::NORM_HAMMING).knnMatch(a, b, forward, 2);
    cv::BFMatcher(cv::NORM_HAMMING).knnMatch(b, a, backward, 2);
    benchmark::DoNotOptimize(forward.data());
    benchmark::DoNotOptimize(backward.data());
  }
}

// Source width, height and OpenCV threads: 12 MP and 20 MP at one and two threads.
void sizes(benchmark::internal::Benchmark* b) {
  for (int threads : {1, 2}) {
    b->Args({4000, 3000, threads});
    b->Args({5472, 3648, threads});
  }
  b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_WholePair)->Apply(sizes);
BENCHMARK(BM_BareStereoSGBM)->Apply(sizes);
BENCHMARK(BM_ImageMotion)->Apply(sizes);
BENCHMARK(BM_TrackedMotion)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MutualMatches)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_KnnBothWays)->Unit(benchmark::kMillisecond);

}  // namespace
