#include "src/PointsFusion/src/stereo_dense/cleaner.h"

#include "src/PointsFusion/src/stereo_dense/pipeline_test_support.h"
#include "src/PointsFusion/src/stereo_dense/pruner.h"

#include <gtest/gtest.h>

#include <map>

#include <future>
#include <stdexcept>

namespace {

using namespace pipeline_test;
using Future = Cleaner::DepthResult;

Future ready(const std::shared_ptr<ImageScaled>& record) {
  std::promise<std::shared_ptr<ImageScaled>> promise;
  promise.set_value(record);
  return promise.get_future().share();
}

// Counts of `ref` after cleaning against `others`.
cv::Mat clean(const std::shared_ptr<ImageScaled>& ref,
              const std::vector<std::shared_ptr<ImageScaled>>& others) {
  Cleaner::Workspace job;
  job.views.resize(1 + others.size());
  EXPECT_TRUE(Cleaner::makeView(*ref, job.views[0]));
  for (size_t j = 0; j < others.size(); ++j)
    EXPECT_TRUE(Cleaner::makeView(*others[j], job.views[j + 1]));
  Cleaner::CleanFrame(job);
  return ref->count;
}

// Two consecutive frames of a rendered strip as records with their true depth.
class RenderedPair : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    flight::ExampleFlightOptions o;
    o.flight.camera = {640, 480, 544, 544};
    o.flight.strips = 1;
    o.flight.frames_per_strip = 2;
    o.texel = sceneTexel();
    prepareOpenCvForThreadSanitizer();
    flight_ = new flight::ExampleFlight(flight::makeExampleFlight(o));
    for (size_t i = 0; i < 2; ++i) views_[i] = flight::renderFrame(*flight_, i);
  }
  static void TearDownTestSuite() { delete flight_; }

  static std::shared_ptr<ImageScaled> record(size_t i) {
    return renderedRecord(i, views_[i], flight_->plan.options.camera,
                          flight_->plan.frames[i].placement);
  }
  // True when the scene point of pixel (r, c) of frame 0 lands off frame 1's border.
  static bool seenByNext(int r, int c, double d) {
    const flight::PinholeCamera& k = flight_->plan.options.camera;
    const flight::CameraPlacement &p0 = flight_->plan.frames[0].placement,
                                  &p1 = flight_->plan.frames[1].placement;
    const cv::Vec3d x = p0.position + p0.enu_from_camera * cv::Vec3d((c - k.cx) / k.fx * d,
                                                                     (r - k.cy) / k.fy * d, d);
    const cv::Vec3d q = p1.enu_from_camera.t() * (x - p1.position);
    const double u = k.fx * q[0] / q[2] + k.cx + 0.5, v = k.fy * q[1] / q[2] + k.cy + 0.5;
    return q[2] > 0 && u >= 1 && u < k.width - 1 && v >= 1 && v < k.height - 1;
  }

  static flight::ExampleFlight* flight_;
  static flight::RenderedView views_[2];
};
flight::ExampleFlight* RenderedPair::flight_ = nullptr;
flight::RenderedView RenderedPair::views_[2];

TEST_F(RenderedPair, ConfirmsTheReferencePixelsTheNextViewSees) {
  const auto ref = record(0);
  clean(ref, {record(1)});
  int seen = 0, confirmed = 0, confirmedUnseen = 0;
  for (int r = 0; r < ref->depth.rows; ++r) {
    for (int c = 0; c < ref->depth.cols; ++c) {
      const bool inside = seenByNext(r, c, ref->depth.at<float>(r, c));
      const bool ok = ref->count.at<uint8_t>(r, c) >= 2;
      seen += inside;
      confirmed += inside && ok;
      confirmedUnseen += !inside && ok;
    }
  }
  ASSERT_GT(seen, int(ref->depth.total() / 4));
  EXPECT_GE(confirmed, 0.85 * seen);
  EXPECT_LE(confirmedUnseen, seen / 1000);
  RecordProperty("confirmed_share", std::to_string(double(confirmed) / seen));
}

TEST_F(RenderedPair, TerrainPointsLieOnTheSceneAndAWrongPatchReachesNeitherList) {
  const auto ref = record(0);
  const cv::Rect patch(300, 200, 40, 40);
  cv::Mat wrong = ref->depth(patch);
  wrong *= 1.05;
  std::vector<std::vector<pi::Point3d>> terrain;
  {
    Pruner pruner([&](sv::Var& v) { terrain.push_back(v[1].castAs<std::vector<pi::Point3d>>()); },
                  nullptr);
    Cleaner cleaner;
    fw::Messenger::instance().publish("sbt.dense_frame_test", ref);
    fw::Messenger::instance().publish("sbt.dense_frame_test", record(1));
  }  // the final pass publishes frame 1 against frame 0
  ASSERT_EQ(terrain.size(), 2u);
  EXPECT_EQ(cv::countNonZero(ref->count(patch) != 1), 0);
  for (size_t i = 0; i < 2; ++i) {
    const cv::Vec3d centre = flight_->plan.frames[i].placement.position;
    ASSERT_GT(terrain[i].size(), 50000u);
    size_t off = 0;
    for (const pi::Point3d& w : terrain[i]) {
      const cv::Vec3d x = Site().toEnu({w.x, w.y, w.z});
      flight::SurfaceHit hit;
      const double range = cv::norm(x - centre);
      ASSERT_TRUE(flight_->scene->intersect(centre, (x - centre) / range, &hit));
      off += std::abs(range - hit.t) > 0.001 * hit.t;
    }
    EXPECT_EQ(off, 0u) << "frame " << i;
  }
}

// Plane records: column c of the camera at 0 lands on column c - 5 x of the camera at x.
TEST(CleanFrame, GuardsAgainstBadViewsAndKeepsCountsInRange) {
  LogLines log;
  cv::Mat count = clean(planeRecord(0, 0), {planeRecord(1, 1)});
  EXPECT_EQ(count.at<uint8_t>(20, 6), 2);
  EXPECT_EQ(count.at<uint8_t>(20, 5), 1);  // the other view's one-pixel border is a miss

  // A 24 x 32 view is bounded by its own size: (r, c) lands on (r - 12, c - 16).
  count = clean(planeRecord(0, 0), {planeRecord(1, 0, 24, 32)});
  EXPECT_EQ(count.at<uint8_t>(20, 20), 2);
  EXPECT_EQ(count.at<uint8_t>(40, 60), 1);

  auto held = planeRecord(1, 1);  // already holds the point: the pixel is zeroed
  held->count.setTo(2);
  EXPECT_EQ(clean(planeRecord(0, 0), {held}).at<uint8_t>(20, 20), 0);

  auto full = planeRecord(0, 0);  // saturates instead of wrapping to 0 (rejected)
  full->count.setTo(255);
  EXPECT_EQ(clean(full, {planeRecord(1, 1), planeRecord(2, 2)}).at<uint8_t>(20, 20), 255);

  auto far = planeRecord(1, 1);  // far outside the view: a miss, not an integer overflow
  far->K[0] = far->K[4] = 1e30;
  EXPECT_EQ(clean(planeRecord(0, 0), {far}).at<uint8_t>(20, 20), 1);

  auto behind = planeRecord(1, 0);  // looks away from the plane: z <= 0 is a miss
  behind->pose.q = fw::Quaternion();
  EXPECT_EQ(clean(planeRecord(0, 0), {behind}).at<uint8_t>(20, 20), 1);

  auto singular = planeRecord(0, 0);
  singular->K.fill(0);
  EXPECT_EQ(cv::countNonZero(clean(singular, {planeRecord(1, 1)}) != 1), 0);
  EXPECT_EQ(log.count(fw::kLogError, "singular camera matrix"), 1);
}

TEST(CleanerOptions, RaisesViewsAndQueueThatCouldNeverConfirm) {
  LogLines log;
  CleanerOptions o;
  o.minConsistentViews = 1;
  o.queueSize = 1;
  EXPECT_THROW(o.check(), std::invalid_argument);
  o.mend();
  EXPECT_NO_THROW(o.check());
  EXPECT_EQ(o.minConsistentViews, 2);
  EXPECT_EQ(o.queueSize, 2);
  EXPECT_EQ(log.count(fw::kLogWarning, "pointsfusion.min_consistent_views 1"), 1);
  EXPECT_EQ(log.count(fw::kLogWarning, "pointsfusion.clean_queuesize 1"), 1);
}

TEST(CleanerOptions, AreReadOnceWhenTheCleanerIsBuilt) {
  LogLines log;
  Config views("pointsfusion.min_consistent_views", "1", "2");
  Config queue("pointsfusion.clean_queuesize", "3", "2");
  Cleaner cleaner;
  fw::Var::instance().setText("pointsfusion.clean_queuesize", "4");
  EXPECT_EQ(cleaner.options().queueSize, 3);
  EXPECT_EQ(cleaner.options().minConsistentViews, 2);
  // Frames processed later do not repeat the warning.
  fw::Messenger::instance().publish("sbt.dense_frame_test", planeRecord(0, 0));
  EXPECT_EQ(log.count(fw::kLogWarning, "pointsfusion.min_consistent_views 1"), 1);
}

struct ShutdownCase {
  bool futures;
  const char* queueSize;
};

class CleanerShutdown : public ::testing::TestWithParam<ShutdownCase> {};

TEST_P(CleanerShutdown, PublishesEveryRemainingFrameOnceInOrder) {
  Config queue("pointsfusion.clean_queuesize", GetParam().queueSize, "2");
  CleanedRecorder recorder;
  {
    Cleaner cleaner;
    for (uint64_t i = 0; i < 8; ++i) {
      if (i == 2) fw::Messenger::instance().publish("sbt.input.stop", true);
      const uint64_t id = i < 2 ? i : 9 - i;  // out of order: the cleaner sorts
      if (GetParam().futures)
        fw::Messenger::instance().publish("sbt.dense_frame", ready(planeRecord(id, id)));
      else
        fw::Messenger::instance().publish("sbt.dense_frame_test", planeRecord(id, id));
    }
  }
  EXPECT_EQ(recorder.ids(), range(0, 8));
}

INSTANTIATE_TEST_SUITE_P(Feeds, CleanerShutdown,
                         ::testing::Values(ShutdownCase{true, "2"}, ShutdownCase{true, "5"},
                                           ShutdownCase{false, "2"}),
                         [](const auto& info) {
                           return std::string(info.param.futures ? "Futures" : "TestTopic") +
                                  "Queue" + info.param.queueSize;
                         });

TEST(CleanerFaults, BadResultsAndThrowingOutputsCostOnlyTheirFrame) {
  LogLines log;
  CleanedRecorder recorder;
  std::vector<uint64_t> tiles;
  {
    Pruner pruner(
        [](sv::Var&) { throw std::runtime_error("terrain down"); },
        [&](sv::Var& v) { tiles.push_back(v[0].castAs<std::shared_ptr<fw::MapFrame>>()->id); });
    // Another subscriber throws for frame 1: the frame is still published once.
    fw::Subscriber thrower = fw::Messenger::instance().subscribe(
        "sbt.cleaned_frames", 0,
        sv::VarFunction(std::function<void(const std::shared_ptr<ImageScaled>&)>(
            [](const std::shared_ptr<ImageScaled>& f) {
              if (f->frame->id == 1) throw std::runtime_error("subscriber");
            })));
    Cleaner cleaner;
    std::promise<std::shared_ptr<ImageScaled>> failed;
    failed.set_exception(std::make_exception_ptr(std::runtime_error("depth task")));
    fw::Messenger& m = fw::Messenger::instance();
    m.publish("sbt.dense_frame", ready(planeRecord(0, 0)));
    m.publish("sbt.dense_frame", Future());  // no shared state
    m.publish("sbt.dense_frame", failed.get_future().share());
    m.publish("sbt.dense_frame", ready(nullptr));  // a pair without depth
    for (uint64_t id = 1; id < 4; ++id) m.publish("sbt.dense_frame", ready(planeRecord(id, id)));
  }  // frame 3 leaves in the final pass, its terrain output throwing too
  EXPECT_EQ(recorder.ids(), range(0, 4));
  EXPECT_EQ(tiles, range(0, 4));
  EXPECT_EQ(log.count(fw::kLogError, "terrain down"), 4);
  EXPECT_EQ(log.count(fw::kLogError, "without a state"), 1);
  EXPECT_EQ(log.count(fw::kLogError, "depth task"), 1);
  EXPECT_EQ(log.count(fw::kLogError, "frame 1 dropped"), 1);
}

TEST(CleanerOrder, FramesWithoutADepthMapGoOnInTheirPlaceAndLendNoView) {
  LogLines log;
  CleanedRecorder recorder;
  std::map<uint64_t, size_t> tiles;
  std::vector<uint64_t> sparse;
  const auto depthless = [](uint64_t id) {
    auto record = planeRecord(id, double(id));
    record->depth.release();
    return record;
  };
  {
    Pruner pruner(
        {},
        [&](sv::Var& v) {
          tiles[v[0].castAs<std::shared_ptr<fw::MapFrame>>()->id] =
              v[1].castAs<std::vector<pi::Point3f>>().size();
        },
        [&](sv::Var& v) { sparse.push_back(v[0].castAs<std::shared_ptr<fw::MapFrame>>()->id); });
    Cleaner cleaner;
    fw::Messenger& m = fw::Messenger::instance();
    m.publish("sbt.dense_frame", ready(planeRecord(0, 0)));
    m.publish("sbt.dense_frame", ready(depthless(1)));
    // Frame 0 still waits for a view with depth: the failed frame 1 is no view.
    m.publish("sbt.dense_frame", ready(planeRecord(2, 2)));
    m.publish("sbt.dense_frame", ready(planeRecord(3, 3)));
    m.publish("sbt.dense_frame", ready(depthless(4)));
  }
  EXPECT_EQ(recorder.ids(), range(0, 5));
  EXPECT_EQ(sparse, (std::vector<uint64_t>{1, 4}));
  EXPECT_GT(tiles[0], 0u) << "frame 0 was confirmed by frame 2";
  EXPECT_EQ(tiles.count(1), 0u);
  EXPECT_EQ(log.count(fw::kLogError, "Should not happen"), 0);
  EXPECT_EQ(log.count(fw::kLogError, "no usable depth map"), 0);
}

// Frames 0 and 1 form one block of the flight, frames 2 and 3 another far away: the last frame
// of each block, which no later frame sees, is checked against the frame before it, and its
// depths reach terrain fusion as dense points like every other frame's.
TEST(CleanerOrder, TheLastFrameOfABlockIsConfirmedByTheFrameBeforeIt) {
  std::map<uint64_t, size_t> dense;
  std::vector<uint64_t> sparse;
  {
    Pruner pruner(
        [&](sv::Var& v) {
          dense[v[0].castAs<std::shared_ptr<fw::MapFrame>>()->id] =
              v[1].castAs<std::vector<pi::Point3d>>().size();
        },
        {},
        [&](sv::Var& v) { sparse.push_back(v[0].castAs<std::shared_ptr<fw::MapFrame>>()->id); });
    Cleaner cleaner;
    fw::Messenger& m = fw::Messenger::instance();
    for (const auto& [id, x] : std::map<uint64_t, double>{{0, 0}, {1, 1}, {2, 1000}, {3, 1001}})
      m.publish("sbt.dense_frame", ready(planeRecord(id, x)));
  }
  EXPECT_TRUE(sparse.empty()) << sparse.front() << " reached terrain by its sparse points";
  ASSERT_EQ(dense.size(), 4u);
  EXPECT_EQ(dense[1], dense[3]) << "the block's last frame is treated as the run's last";
  EXPECT_GT(dense[1], 48u * 64u / 2);
}

TEST(CleanerBackPressure, WaitsAtFiveQueuedTasksAndGoesOnAtFour) {
  Latch entered(1), release(1);
  std::vector<uint64_t> waits;
  std::vector<std::promise<std::shared_ptr<ImageScaled>>> later(5);
  CleanedRecorder recorder;
  {
    Cleaner cleaner([&](uint64_t queued) {
      waits.push_back(queued);
      release.countDown();
      std::this_thread::yield();
    });
    fw::Messenger& m = fw::Messenger::instance();
    // The first result is computed by the worker that waits for it: a hook on that wait.
    m.publish("sbt.dense_frame", std::async(std::launch::deferred, [&] {
                                   entered.countDown();
                                   release.wait();
                                   return planeRecord(0, 0);
                                 }).share());
    entered.wait();
    for (int i = 0; i < 4; ++i) m.publish("sbt.dense_frame", later[i].get_future().share());
    EXPECT_TRUE(waits.empty());
    m.publish("sbt.dense_frame", later[4].get_future().share());
    ASSERT_FALSE(waits.empty());
    for (uint64_t w : waits) EXPECT_EQ(w, 5u);
    for (int i = 0; i < 5; ++i) later[i].set_value(planeRecord(i + 1, i + 1));
  }
  EXPECT_EQ(recorder.ids(), range(0, 6));
}

}  // namespace

// Frames 0 and 1 were matched from the same two images (each paired with the other): frame 1
// agreeing with frame 0 repeats that matching, so frame 0's depths go to terrain fusion apart,
// as confirmed only by their own pair, while the tiles keep them. The later frames, each
// confirmed by a frame of another pair, go as they always did.
TEST(CleanerPairOnly, DepthsConfirmedOnlyByTheirOwnImagePairGoApart) {
  LogLines log;
  std::map<uint64_t, std::pair<size_t, size_t>> terrain;  // id: independent, pair-only points
  std::map<uint64_t, size_t> tiles;
  const auto paired = [](uint64_t id, uint64_t with) {
    auto record = planeRecord(id, double(id));
    record->pairedWith = with;
    return record;
  };
  {
    Pruner pruner(
        [&](sv::Var& v) {
          const auto id = v[0].castAs<std::shared_ptr<fw::MapFrame>>()->id;
          terrain[id] = {v[1].castAs<std::vector<pi::Point3d>>().size(),
                         v.length() > 3 ? v[3].castAs<std::vector<pi::Point3d>>().size() : 0};
        },
        [&](sv::Var& v) {
          tiles[v[0].castAs<std::shared_ptr<fw::MapFrame>>()->id] =
              v[1].castAs<std::vector<pi::Point3f>>().size();
        });
    Cleaner cleaner;
    fw::Messenger& m = fw::Messenger::instance();
    m.publish("sbt.dense_frame", ready(paired(0, 1)));
    m.publish("sbt.dense_frame", ready(paired(1, 0)));
    m.publish("sbt.dense_frame", ready(paired(2, 1)));
    m.publish("sbt.dense_frame", ready(paired(3, 2)));
  }
  ASSERT_EQ(terrain.size(), 4u);
  EXPECT_EQ(terrain[0].first, 0u);
  EXPECT_GT(terrain[0].second, 0u);
  EXPECT_GT(tiles[0], 0u) << "the point-cloud tiles keep every confirmed point";
  for (uint64_t id : {1, 2, 3}) {
    EXPECT_GT(terrain[id].first, 0u) << id;
    EXPECT_EQ(terrain[id].second, 0u) << id;
  }

  // A view of another pair, or one whose partner is unknown, confirms independently.
  Cleaner::View a, b;
  a.id = 0, b.id = 1;
  a.pairedWith = 1;
  EXPECT_FALSE(Cleaner::sameImagePair(a, b));
  b.pairedWith = 0;
  EXPECT_TRUE(Cleaner::sameImagePair(a, b));
  b.pairedWith = 2;
  EXPECT_FALSE(Cleaner::sameImagePair(a, b));
}
