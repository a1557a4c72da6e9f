// Cost of locating frames: the direct pose with its sparse ground points, and the refinement
// of 12 MP frames from their features (at 1 and 2 threads) against decoding the same JPEG;
// and the memory the refinement holds over a long flight.

#include "direct_georeferencing.h"
#include "frame_features.h"
#include "framework/frame_image_decoding.h"
#include "front_end_test_support.h"
#include "georeferencing_front_end.h"
#include "pose_refiner.h"
#include "tools/example_flight.h"

#include <benchmark/benchmark.h>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>
#include <chrono>
#include <fstream>

namespace {

void BM_LocateFrame(benchmark::State& state) {
  sfm::testing::RecordingChain chain;
  sfm::FrontEndOptions options;
  options.points.grid_columns = static_cast<int>(state.range(0));
  options.points.grid_rows = static_cast<int>(state.range(0)) * 3 / 4;
  sfm::GeoreferencingFrontEnd front_end(&chain, options);
  front_end.setFrameCount(-1);
  uint64_t id = 0;
  for (auto _ : state) {
    front_end.addFrame(sfm::testing::inputFrame(
        id, sfm::testing::gpsRecord(30.52, 114.36, 135.0, 100.0, -90, 0, 0)));
    ++id;
    if (chain.frames.size() > 64) {
      chain.frames.clear();
      chain.commands.clear();
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LocateFrame)->Arg(20)->Arg(40);

// A survey whose frames are rendered at 1000 x 750 and enlarged to 4000 x 3000 (12 MP), kept
// as JPEG files in memory.
struct JpegSurvey {
  flight::ExampleFlight flight;
  std::vector<std::vector<uchar>> jpegs;
  int width = 0, height = 0;
};

const JpegSurvey& survey12Mp() {
  static const JpegSurvey survey = [] {
    flight::ExampleFlightOptions o;
    o.flight.frames_per_strip = 5;
    o.flight.gps_noise = 2.0;
    o.flight.attitude_noise = 1.5;
    JpegSurvey s{flight::makeExampleFlight(o), {}, 4000, 3000};
    for (size_t i = 0; i < s.flight.plan.frames.size(); ++i) {
      cv::Mat large;
      cv::resize(flight::renderFrame(s.flight, i).image, large, cv::Size(s.width, s.height), 0, 0,
                 cv::INTER_CUBIC);
      s.jpegs.emplace_back();
      cv::imencode(".jpg", large, s.jpegs.back(), {cv::IMWRITE_JPEG_QUALITY, 90});
    }
    return s;
  }();
  return survey;
}

std::vector<double> gpsOf(const flight::PlannedFrame& f, double sigma, double angle_sigma) {
  const cv::Vec3d& g = f.recorded_geodetic;
  const cv::Vec3d& a = f.recorded_attitude;
  return {g[1], g[0], g[2], sigma, sigma,       sigma,       f.relative_altitude,
          10.0, a[0], a[1], a[2],  angle_sigma, angle_sigma, angle_sigma};
}

sfm::IncomingFrame incoming(const flight::ExampleFlight& f, size_t i, const cv::Mat& image,
                            double scale) {
  const flight::PinholeCamera& c = f.plan.options.camera;
  const std::vector<double> calibration = {c.width * scale,
                                           c.height * scale,
                                           c.fx * scale,
                                           c.fy * scale,
                                           (c.cx + 0.5) * scale - 0.5,
                                           (c.cy + 0.5) * scale - 0.5,
                                           0,
                                           0,
                                           0,
                                           0,
                                           0};
  auto frame = sfm::testing::inputFrame(i, gpsOf(f.plan.frames[i], 2.0, 1.5), calibration,
                                        fw::GImage(image));
  return sfm::readIncomingFrame(*frame);
}

SE3 directPose(const sfm::IncomingFrame& in) {
  return sfm::worldFromCamera(in.latitude, in.longitude, in.altitude, in.angles);
}

void BM_DecodeJpeg12Mp(benchmark::State& state) {
  const JpegSurvey& s = survey12Mp();
  size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(cv::imdecode(s.jpegs[i++ % s.jpegs.size()], cv::IMREAD_COLOR));
}
BENCHMARK(BM_DecodeJpeg12Mp)->Unit(benchmark::kMillisecond)->UseRealTime();

// The decode the dataset makes for the front end: reduced by 2 while decoded, the size the
// feature copy is made from.
void BM_DecodeJpeg12MpHalved(benchmark::State& state) {
  const JpegSurvey& s = survey12Mp();
  size_t i = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(fw::decodeFrameImageReduced(s.jpegs[i++ % s.jpegs.size()], 2));
}
BENCHMARK(BM_DecodeJpeg12MpHalved)->Unit(benchmark::kMillisecond)->UseRealTime();

// The features of one 12 MP frame as the program takes them (decoded halved), by the long
// side of the copy they are found in: the feature detector's share of a frame's refinement.
void BM_FrameFeatures12Mp(benchmark::State& state) {
  const JpegSurvey& s = survey12Mp();
  cv::setNumThreads(1);
  sfm::RefinementOptions options;
  options.image_long_side = static_cast<int>(state.range(0));
  const cv::Mat image = fw::decodeFrameImageReduced(s.jpegs[0], 2);
  const sfm::CameraIntrinsics camera = sfm::CameraIntrinsics::fromCalibration(
      {4000, 3000, 3400, 3400, 1999.5, 1499.5, 0, 0, 0, 0, 0});
  for (auto _ : state)
    benchmark::DoNotOptimize(sfm::extractFeatures(fw::GImage(image), camera, options, 2));
  cv::setNumThreads(-1);
}
BENCHMARK(BM_FrameFeatures12Mp)->Arg(1600)->Arg(1200)->Arg(1000)->Unit(benchmark::kMillisecond);

// The refinement of the survey's frames (features, matching, adjustment of the window), the
// images decoded beforehand: the time reported is per frame, from the first frame given to
// the last one sent, so that features taken on a thread of their own while the frame before
// is refined count with their whole cost. Arguments: threads, then for SIFT features the long
// side of the copy they are found in.
void BM_RefineFrame12Mp(benchmark::State& state) {
  const JpegSurvey& s = survey12Mp();
  const int threads = static_cast<int>(state.range(0));
  cv::setNumThreads(threads);
  sfm::RefinementOptions options;
  options.threads = threads;
  if (state.range(1) > 0) {
    options.detector = sfm::FeatureDetector::kSift;
    options.image_long_side = static_cast<int>(state.range(1));
  }
  uint64_t next_id = 1;
  for (auto _ : state) {
    std::vector<cv::Mat> images;
    for (const std::vector<uchar>& jpeg : s.jpegs)
      images.push_back(cv::imdecode(jpeg, cv::IMREAD_COLOR));
    const auto start = std::chrono::steady_clock::now();
    sfm::PoseRefiner refiner(options, &next_id);
    for (size_t k = 0; k < images.size(); ++k) {
      sfm::IncomingFrame in = incoming(s.flight, k, images[k], 4.0);
      images[k].release();
      const SE3 direct = directPose(in);
      benchmark::DoNotOptimize(refiner.add(std::move(in), direct));
    }
    benchmark::DoNotOptimize(refiner.finish());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count() / double(s.jpegs.size()));
  }
  cv::setNumThreads(-1);
}
BENCHMARK(BM_RefineFrame12Mp)
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({1, 1600})
    ->Args({2, 1600})
    ->Args({2, 1000})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);

double residentMegabytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// A 300-frame survey (15 strips of 20 small frames): what the refinement holds stays flat.
void BM_RefineLongFlightMemory(benchmark::State& state) {
  flight::ExampleFlightOptions o;
  o.flight.camera.width = 400;
  o.flight.camera.height = 300;
  o.flight.camera.fx = o.flight.camera.fy = 340;
  o.flight.strips = 15;
  o.flight.frames_per_strip = 20;
  o.flight.gps_noise = 2.0;
  o.flight.attitude_noise = 1.5;
  const flight::ExampleFlight f = flight::makeExampleFlight(o);
  for (auto _ : state) {
    uint64_t next_id = 1;
    sfm::PoseRefiner refiner({}, &next_id);
    size_t refined = 0;
    for (size_t i = 0; i < f.plan.frames.size(); ++i) {
      sfm::IncomingFrame in = incoming(f, i, flight::renderFrame(f, i).image, 1.0);
      const SE3 direct = directPose(in);
      for (const auto& out : refiner.add(std::move(in), direct)) refined += out.refined;
      if (i == 49) state.counters["rss_mb_at_50"] = residentMegabytes();
      if (i == 149) state.counters["rss_mb_at_150"] = residentMegabytes();
    }
    state.counters["rss_mb_at_300"] = residentMegabytes();
    state.counters["stored_frames"] = double(refiner.storedFrames());
    state.counters["tracks"] = double(refiner.storedTracks());
    for (const auto& out : refiner.finish()) refined += out.refined;
    state.counters["refined_share"] = double(refined) / f.plan.frames.size();
  }
}
BENCHMARK(BM_RefineLongFlightMemory)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
