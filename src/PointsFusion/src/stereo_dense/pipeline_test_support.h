#pragma once

// Helpers of the dense pipeline's tests: a latch, configuration overrides, a recorder of
// cleaned frames, depth records from rendered views with their true depth (or a flat plane)
// posed in earth-centred coordinates, and rendered strips located by the front end.

#include "framework/config_store.h"
#include "framework/diy_frame.h"
#include "framework/messenger.h"
#include "src/PointsFusion/src/stereo_dense/image_scaled.h"
#include "src/PointsFusion/src/stereo_dense/rendered_pair_for_tests.h"
#include "src/sfm/src/front_end_test_support.h"
#include "src/sfm/src/georeferencing_front_end.h"
#include "tools/example_flight.h"
#include "tools/geo_frame.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <opencv2/core.hpp>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

namespace pipeline_test {

using LogLines = densetest::LogLines;

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

// OpenCV synchronises in code ThreadSanitizer cannot see: parallel_for_ hands its bodies to
// TBB workers, and matrix expressions share a lazily made singleton. Under it the scene is
// drawn on the calling thread, and the singleton is made before any worker starts.
inline void prepareOpenCvForThreadSanitizer() {
  if (!kThreadSanitizer) return;
  cv::setNumThreads(1);
  const cv::Mat warmUp = cv::Mat::zeros(1, 1, CV_64F);
}

// Metres per scene texel: coarser under ThreadSanitizer, where painting the scene single-
// threaded takes most of a test's time; still finer than the pixels' ground footprint.
inline double sceneTexel() { return kThreadSanitizer ? 0.2 : 0.1; }

class Latch {
 public:
  explicit Latch(int count) : count_(count) {}
  void countDown() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ > 0 && --count_ == 0) done_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return count_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  int count_;
};

// Sets a configuration variable for one scope, then writes `restore`.
class Config {
 public:
  Config(std::string name, const std::string& value, std::string restore)
      : name_(std::move(name)), restore_(std::move(restore)) {
    fw::Var::instance().setText(name_, value);
  }
  ~Config() { fw::Var::instance().setText(name_, restore_); }

 private:
  std::string name_, restore_;
};

// Identifiers of the frames published on "sbt.cleaned_frames", in order.
class CleanedRecorder {
 public:
  CleanedRecorder() {
    sub_ = fw::Messenger::instance().subscribe("sbt.cleaned_frames", 0, &CleanedRecorder::onFrame,
                                               this);
  }
  ~CleanedRecorder() { sub_.shutdown(); }
  void onFrame(const std::shared_ptr<ImageScaled>& frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    ids_.push_back(frame->frame->id);
  }
  std::vector<uint64_t> ids() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ids_;
  }

 private:
  std::mutex mutex_;
  std::vector<uint64_t> ids_;
  fw::Subscriber sub_;
};

inline std::vector<uint64_t> range(uint64_t first, uint64_t end) {
  std::vector<uint64_t> ids(end - first);
  std::iota(ids.begin(), ids.end(), first);
  return ids;
}

// The take-off point's east-north-up frame (the scene's) in earth-centred coordinates.
struct Site {
  double latitude = 30.52, longitude = 114.36, altitude = 35.0;

  cv::Vec3d toEnu(const cv::Vec3d& world) const {
    return flight::ecefFromEnu(latitude, longitude).t() *
           (world - flight::ecefFromGeodetic(latitude, longitude, altitude));
  }
  SE3 pose(const flight::CameraPlacement& placement) const {
    const cv::Matx33d r = flight::ecefFromEnu(latitude, longitude) * placement.enu_from_camera;
    fw::Quaternion q;
    fw::quaternionFromMatrix(fw::Matrix3{r(0, 0), r(0, 1), r(0, 2), r(1, 0), r(1, 1), r(1, 2),
                                         r(2, 0), r(2, 1), r(2, 2)},
                             q);
    const cv::Vec3d t = flight::ecefFromGeodetic(latitude, longitude, altitude) +
                        flight::ecefFromEnu(latitude, longitude) * placement.position;
    return SE3(q, pi::Point3d(t[0], t[1], t[2]));
  }
};

// A depth record with every field the cleaner and the pruner read; count 1 everywhere.
inline std::shared_ptr<ImageScaled> makeRecord(uint64_t id, const SE3& pose, const cv::Mat& image,
                                               const cv::Mat& depth, const cv::Matx33d& k) {
  auto frame = std::make_shared<MapFrame>(
      id, 1701532800.0 + id, fw::GImage(), "",
      fw::Camera(std::vector<double>{double(depth.cols), double(depth.rows), k(0, 0), k(1, 1),
                                     k(0, 2), k(1, 2)}),
      std::vector<double>(), 1);
  frame->setPose(pose);
  auto record = std::make_shared<ImageScaled>(frame, image);
  record->pose = pose;
  record->rectImage = image;
  record->depth = depth;
  record->count = cv::Mat(depth.size(), CV_8UC1, cv::Scalar(1));
  for (int i = 0; i < 9; ++i) record->K[i] = k.val[i];
  double lo = 0, hi = 0;
  cv::minMaxLoc(depth, &lo, &hi);
  record->depthMin = static_cast<float>(lo);
  record->depthMax = static_cast<float>(hi * 1.2);
  return record;
}

// A rendered view of the example flight as the record of frame `id`.
inline std::shared_ptr<ImageScaled> renderedRecord(uint64_t id, const flight::RenderedView& view,
                                                   const flight::PinholeCamera& c,
                                                   const flight::CameraPlacement& placement) {
  return makeRecord(id, Site().pose(placement), view.image, view.depth.clone(),
                    cv::Matx33d(c.fx, 0, c.cx, 0, c.fy, c.cy, 0, 0, 1));
}

// A camera `x` metres along the plane, 10 m above it and looking straight at it: depth 10 m
// everywhere, and pixel column c lands on column c - 5 x of the camera at 0.
inline std::shared_ptr<ImageScaled> planeRecord(uint64_t id, double x, int rows = 48,
                                                int cols = 64) {
  const SE3 pose(fw::Quaternion(1, 0, 0, 0), pi::Point3d(x, 0, 10));  // 180 degrees about x
  return makeRecord(id, pose, cv::Mat(rows, cols, CV_8UC3, cv::Scalar(40, 90, 200)),
                    cv::Mat(rows, cols, CV_32FC1, cv::Scalar(10.0f)),
                    cv::Matx33d(50, 0, cols / 2.0, 0, 50, rows / 2.0, 0, 0, 1));
}

// One strip of the example flight written to a folder of its own and located by the front end.
struct LocatedStrip {
  flight::ExampleFlight flight;
  std::filesystem::path folder;
  std::vector<std::shared_ptr<fw::MapFrame>> frames;

  LocatedStrip(int count, int width, int height, double focal, const std::string& name) {
    flight::ExampleFlightOptions o;
    o.flight.strips = 1;
    o.flight.frames_per_strip = count;
    o.flight.camera.width = width;
    o.flight.camera.height = height;
    o.flight.camera.fx = o.flight.camera.fy = focal;
    o.texel = sceneTexel();
    prepareOpenCvForThreadSanitizer();
    flight = flight::makeExampleFlight(o);
    folder = std::filesystem::temp_directory_path() /
             (name + "_" + std::to_string(::getpid()));  // test processes run side by side
    const flight::WrittenFlight written = flight::writeExampleFlight(flight, folder);
    const flight::PinholeCamera& c = flight.plan.options.camera;
    const fw::Camera camera(
        std::vector<double>{double(c.width), double(c.height), c.fx, c.fy, c.cx, c.cy});
    sfm::testing::RecordingChain chain;
    sfm::GeoreferencingFrontEnd frontEnd(&chain, {});
    for (size_t i = 0; i < written.images.size(); ++i) {
      const flight::PlannedFrame& f = flight.plan.frames[i];
      const cv::Vec3d &g = f.recorded_geodetic, &a = f.recorded_attitude;
      frontEnd.addFrame(std::make_shared<MapFrame>(
          i, f.timestamp, fw::GImage(), written.images[i].string(), camera,
          sfm::testing::gpsRecord(g[0], g[1], g[2], f.relative_altitude, a[0], a[1], a[2]), 1));
    }
    frontEnd.finishInput();
    frames = chain.frames;
  }
  ~LocatedStrip() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  Site site() const {
    const flight::FlightOptions& o = flight.plan.options;
    return Site{o.latitude, o.longitude, o.ground_altitude};
  }
};

}  // namespace pipeline_test
