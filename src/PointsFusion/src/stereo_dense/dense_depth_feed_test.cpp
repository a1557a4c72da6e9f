#include "src/PointsFusion/src/stereo_dense/dense_depth.h"

#include "src/PointsFusion/src/stereo_dense/pipeline_test_support.h"
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace {

using namespace pipeline_test;
using Result = std::shared_future<std::shared_ptr<ImageScaled>>;

// Stands in for the cleaner: keeps every published depth result.
class ResultRecorder {
 public:
  ResultRecorder() {
    sub_ =
        fw::Messenger::instance().subscribe("sbt.dense_frame", 0, &ResultRecorder::onResult, this);
  }
  ~ResultRecorder() { sub_.shutdown(); }
  void onResult(const Result& result) { results.push_back(result); }
  // Identifiers of the frames that got a depth map (results must be ready).
  std::vector<uint64_t> depthIds() const {
    std::vector<uint64_t> ids;
    for (const Result& r : results)
      if (r.get() && !r.get()->depth.empty()) ids.push_back(r.get()->frame->id);
    return ids;
  }
  std::vector<Result> results;  // written by the feeding thread only

 private:
  fw::Subscriber sub_;
};

// The matcher behind a hook: optionally held on a latch, optionally throwing on one call.
class HookedCalculator : public DisparityCalculator {
 public:
  sv::Var Compute(cv::Mat left, cv::Mat right, int dmin, int dmax) override {
    const int call = calls++;
    if (entered) entered->countDown();
    if (release) release->wait();
    if (call == throwOnCall) throw std::runtime_error("matcher exploded");
    return matcher.Compute(left, right, dmin, dmax);
  }
  SGM_CPU matcher;
  std::atomic<int> calls{0};
  int throwOnCall = -1;
  Latch* entered = nullptr;
  Latch* release = nullptr;
};

// Twelve located frames of a strip, 320 x 240, matched at full size.
class DenseDepthStrip : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    strip_ = new LocatedStrip(12, 320, 240, 272, "dense_depth_strip");
  }
  static void TearDownTestSuite() { delete strip_; }
  static const std::vector<std::shared_ptr<fw::MapFrame>>& frames() { return strip_->frames; }
  static LocatedStrip* strip_;
};
LocatedStrip* DenseDepthStrip::strip_ = nullptr;

TEST(DenseDepthBands, FollowTheFreeMemoryRuleWithItsStep) {
  const std::vector<std::pair<uint64_t, int>> table = {
      {0, 0},          {400, 307200},
      {1000, 768000},  {1535, 1178880},
      {1536, 393216},  {3000, 974848},
      {4000, 1998848}, {4096, 2097152},
      {8000, 2097152}, {uint64_t(1) << 40, 2097152}};
  for (const auto& [freeMiB, band] : table)
    EXPECT_EQ(DenseDepth::gpuBandPixels(freeMiB), band) << freeMiB;
}

TEST(DenseDepthConstruction, WithoutADeviceTheCpuMatcherIsUsed) {
  LogLines log;
  fw::Var::instance().setText("pointsfusion.dense_method", "3");
  fw::Var::instance().setText("pointsfusion.cut_pixel_num", "2000000");
  {
    DenseDepth stage(4.0f);
    EXPECT_NE(dynamic_cast<SGM_CPU*>(stage.calculator.get()), nullptr);
  }
  EXPECT_EQ(log.count(fw::kLogInfo, "Can't find cuda device. Use CPU method."), 1);
  EXPECT_EQ(*fw::Var::instance().GetInt("pointsfusion.dense_method", 3), 2);
  {
    Config method("pointsfusion.dense_method", "1", "3");
    DenseDepth stage(4.0f);
    EXPECT_NE(dynamic_cast<SGM_CPU*>(stage.calculator.get()), nullptr);
  }
  EXPECT_EQ(log.count(fw::kLogInfo, "Can't find cuda device."), 1);  // no second probe
  EXPECT_EQ(*fw::Var::instance().GetInt("pointsfusion.cut_pixel_num", 0), 2000000);
}

TEST_F(DenseDepthStrip, AThrowingMatcherCostsOnlyItsPair) {
  LogLines log;
  ResultRecorder recorder;
  auto calculator = std::make_shared<HookedCalculator>();
  calculator->throwOnCall = 1;
  {
    DenseDepth stage(4.0f, calculator);
    for (size_t i = 0; i < 5; ++i) stage.AddFrame(frames()[i]);
  }
  // Five results: the last frame pairs with the one before it once the feed ends.
  ASSERT_EQ(recorder.results.size(), 5u);
  EXPECT_EQ(recorder.depthIds().size(), 4u);
  EXPECT_EQ(log.count(fw::kLogInfo, ",Device:CPU,Status:Succeed"), 4);
  EXPECT_EQ(log.count(fw::kLogInfo, ",Device:CPU,Status:Failed") +
                log.count(fw::kLogError, ",Device:CPU,Status:Failed"),
            1);
  EXPECT_EQ(log.count(fw::kLogError, "matcher exploded"), 1);
}

TEST_F(DenseDepthStrip, AThrowingSubscriberLeavesThePairingIntact) {
  ResultRecorder recorder;
  int published = 0;
  fw::Subscriber thrower = fw::Messenger::instance().subscribe(
      "sbt.dense_frame", 0, sv::VarFunction(std::function<void(const Result&)>([&](const Result&) {
        if (++published == 2) throw std::runtime_error("subscriber");
      })));
  DenseDepth stage(4.0f, std::make_shared<SGM_CPU>());
  stage.AddFrame(nullptr);  // ignored
  for (size_t i = 0; i < 4; ++i) {
    if (i == 2)
      EXPECT_THROW(stage.AddFrame(frames()[i]), std::runtime_error);
    else
      stage.AddFrame(frames()[i]);
    std::lock_guard<std::mutex> lock(stage.listMutex);
    ASSERT_EQ(stage.pairs.size(), 1u);
    EXPECT_EQ(stage.pairs.front()->frame->id, i);
  }
  thrower.shutdown();
  EXPECT_EQ(recorder.results.size(), 3u);
}

TEST_F(DenseDepthStrip, ThreadCountZeroStillMatches) {
  LogLines log;
  Config threads("pointsfusion.dense_thread_num", "0", "4");
  ResultRecorder recorder;
  {
    DenseDepth stage(4.0f, std::make_shared<SGM_CPU>());
    for (size_t i = 0; i < 3; ++i) stage.AddFrame(frames()[i]);
  }
  EXPECT_EQ(log.count(fw::kLogWarning, "pointsfusion.dense_thread_num 0"), 1);
  EXPECT_EQ(recorder.depthIds(), range(0, 3));
}

TEST_F(DenseDepthStrip, FeedWaitsAtNineQueuedPairsNeverAtEight) {
  Config threads("pointsfusion.dense_thread_num", "1", "4");
  Latch entered(1), release(1);
  auto calculator = std::make_shared<HookedCalculator>();
  calculator->entered = &entered;
  calculator->release = &release;
  ResultRecorder recorder;
  std::vector<uint64_t> waits;
  {
    DenseDepth stage(4.0f, calculator);
    stage.setBlockHook([&](uint64_t queued) {
      waits.push_back(queued);
      release.countDown();
      std::this_thread::yield();
    });
    stage.AddFrame(frames()[0]);
    stage.AddFrame(frames()[1]);
    entered.wait();  // the only worker holds the first pair
    for (size_t i = 2; i < 11; ++i) stage.AddFrame(frames()[i]);
    EXPECT_TRUE(waits.empty());  // 8 queued before the last of these: no wait
    stage.AddFrame(frames()[11]);
    ASSERT_FALSE(waits.empty());
    for (uint64_t w : waits) EXPECT_EQ(w, 9u);
  }
  ASSERT_EQ(recorder.results.size(), 12u);
  EXPECT_EQ(recorder.depthIds(), range(0, 12));
}

TEST_F(DenseDepthStrip, AFrameLetsGoOfItsImageOnceNoPairCanTakeIt) {
  ResultRecorder recorder;
  {
    DenseDepth stage(4.0f, std::make_shared<SGM_CPU>());
    for (size_t i = 0; i < 8; ++i) stage.AddFrame(frames()[i]);
    ASSERT_EQ(recorder.results.size(), 7u);
    for (const Result& r : recorder.results) r.wait();
    // Frames 0 to 3 have left the recent frames and their pairs are done: their records go
    // on down the chain without the full-size image. The recent four may still be taken.
    for (size_t i = 0; i < 4; ++i)
      EXPECT_TRUE(recorder.results[i].get()->image.empty()) << "frame " << i;
    for (size_t i = 4; i < 7; ++i)
      EXPECT_FALSE(recorder.results[i].get()->image.empty()) << "frame " << i;
  }
  // Once the feed ends, every frame's image is let go; each frame still got its depth map.
  ASSERT_EQ(recorder.results.size(), 8u);
  for (const Result& r : recorder.results) EXPECT_TRUE(r.get()->image.empty());
  EXPECT_EQ(recorder.depthIds(), range(0, 8));
}

}  // namespace
