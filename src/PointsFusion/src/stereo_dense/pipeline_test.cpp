// The three stages together on one strip of the example flight, located by the front end
// and matched on the CPU: every depth frame reaches terrain once, in order, on the scene.

#include "src/PointsFusion/src/stereo_dense/cleaner.h"
#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/pipeline_test_support.h"
#include "src/PointsFusion/src/stereo_dense/pruner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

using namespace pipeline_test;

struct Received {
  std::map<uint64_t, std::vector<pi::Point3d>> terrain;
  std::map<uint64_t, size_t> tiles;
  std::map<uint64_t, size_t> pixels;  // of each published frame
};

TEST(DensePipeline, SixFramesOfAStripReachTerrainOnTheScene) {
  // Drawing the scene single-threaded under ThreadSanitizer takes most of its time, so the
  // frames are smaller there; the stages run the same way.
  const LocatedStrip strip(6, kThreadSanitizer ? 480 : 1000, kThreadSanitizer ? 360 : 750,
                           kThreadSanitizer ? 408 : 850, "dense_pipeline_strip");
  ASSERT_EQ(strip.frames.size(), 6u);
  fw::Var::instance().setText("pointsfusion.dense_method", "3");
  LogLines log;
  CleanedRecorder order;
  Received got;
  std::mutex mutex;  // the outputs run on the cleaner's worker; the test reads after the join
  fw::Subscriber sizes = fw::Messenger::instance().subscribe(
      "sbt.cleaned_frames", 0,
      sv::VarFunction(std::function<void(const std::shared_ptr<ImageScaled>&)>(
          [&](const std::shared_ptr<ImageScaled>& f) {
            std::lock_guard<std::mutex> lock(mutex);
            got.pixels[f->frame->id] = f->depth.total();
          })));
  {
    // Built and released in the frame handler's order.
    auto cleaner = std::make_shared<Cleaner>();
    auto pruner = std::make_shared<Pruner>(
        [&](sv::Var& v) {
          std::lock_guard<std::mutex> lock(mutex);
          auto& points = got.terrain[v[0].castAs<std::shared_ptr<fw::MapFrame>>()->id];
          points = v[1].castAs<std::vector<pi::Point3d>>();
          if (v.length() > 3) {  // those only the frame's own image pair confirmed
            const auto pairOnly = v[3].castAs<std::vector<pi::Point3d>>();
            points.insert(points.end(), pairOnly.begin(), pairOnly.end());
          }
        },
        [&](sv::Var& v) {
          std::lock_guard<std::mutex> lock(mutex);
          got.tiles[v[0].castAs<std::shared_ptr<fw::MapFrame>>()->id] =
              v[1].castAs<std::vector<pi::Point3f>>().size();
        });
    auto depth = std::make_shared<DenseDepth>(4.0f);
    for (const auto& frame : strip.frames) depth->AddFrame(frame);
    depth.reset();
    cleaner.reset();
    pruner.reset();
  }
  sizes.shutdown();

  EXPECT_EQ(log.count(fw::kLogInfo, "Can't find cuda device. Use CPU method."), 1);
  // The last frame pairs with the one before it once the feed ends.
  EXPECT_EQ(log.count(fw::kLogInfo, "Frame ID:"), 6);
  EXPECT_EQ(log.count(fw::kLogInfo, ",Device:CPU,Status:Succeed"), 6);
  EXPECT_EQ(order.ids(), range(0, 6));
  EXPECT_EQ(log.count(fw::kLogInfo, "Cleaner processed 5 in"), 1);  // from the final pass

  const Site site = strip.site();
  std::vector<double> errors;
  for (uint64_t id = 0; id < 6; ++id) {
    const std::vector<pi::Point3d>& points = got.terrain[id];
    EXPECT_GE(points.size(), 0.2 * got.pixels[id]) << "frame " << id;
    EXPECT_GT(got.tiles[id], 0u) << "frame " << id;
    const cv::Vec3d centre = strip.flight.plan.frames[id].placement.position;
    for (const pi::Point3d& w : points) {
      const cv::Vec3d x = site.toEnu({w.x, w.y, w.z});
      const double range = cv::norm(x - centre);
      flight::SurfaceHit hit;
      errors.push_back(strip.flight.scene->intersect(centre, (x - centre) / range, &hit)
                           ? std::abs(range - hit.t) / hit.t
                           : 1.0);
    }
  }
  ASSERT_FALSE(errors.empty());
  std::sort(errors.begin(), errors.end());
  const double within =
      double(std::upper_bound(errors.begin(), errors.end(), 0.01) - errors.begin()) / errors.size();
  const double median = errors[errors.size() / 2];
  EXPECT_GE(within, 0.95);
  EXPECT_LE(median, 0.003);
  RecordProperty("within_1_percent", std::to_string(within));
  RecordProperty("median_error", std::to_string(median));
}

}  // namespace
