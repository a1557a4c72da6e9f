#include "src/PointsFusion/src/stereo_dense/pair_choice.h"

#include "framework/messenger.h"
#include "framework/run_tally.h"
#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/rendered_pair_for_tests.h"
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <future>

namespace {

using densetest::Ground;
using densetest::LogLines;
using densetest::View;
using Result = std::shared_future<std::shared_ptr<ImageScaled>>;

// 320 x 240 at 60 m: the ground footprint is 77 m east-west and 58 m north-south.
View at(double east, double north, double yaw = 0) {
  View v;
  v.camera = {320, 240, 250, 250, 159.5, 119.5};
  v.east = east;
  v.north = north;
  v.height = 60;
  v.yaw = yaw;
  return v;
}

pair_choice::View viewAt(const View& v, uint64_t id) {
  return pair_choice::viewOf(densetest::locatedFrame(Ground(true), v, id, ""));
}

TEST(PairChoice, TheFrameThatSharesTheMostGroundTheNextOneUnlessAnotherSharesClearlyMore) {
  const pair_choice::View reference = viewAt(at(20, -45), 2);
  const pair_choice::View before = viewAt(at(-5, -45), 1);
  const pair_choice::View further = viewAt(at(-30, -45), 0);
  const pair_choice::View alongside = viewAt(at(45, -45), 3);
  const pair_choice::View nextStrip = viewAt(at(20, 45, 180), 3);
  EXPECT_NEAR(pair_choice::seenShare(reference, before), 1 - 25.0 / 77, 0.05);
  EXPECT_EQ(pair_choice::seenShare(reference, nextStrip), 0.0);

  EXPECT_EQ(pair_choice::choose(reference, &alongside, {&further, &before}), &alongside);
  // 25 m back shares two thirds of the ground, 50 m back a third.
  EXPECT_EQ(pair_choice::choose(reference, &nextStrip, {&further, &before}), &before);
  EXPECT_EQ(pair_choice::choose(reference, nullptr, {&further, &before}), &before);
  // The next frame 45 m ahead shares two fifths: a frame sharing two thirds goes first; with
  // nothing sharing half, the one sharing more.
  const pair_choice::View farAhead = viewAt(at(65, -45), 3);
  EXPECT_EQ(pair_choice::choose(reference, &farAhead, {&further, &before}), &before);
  EXPECT_EQ(pair_choice::choose(reference, &farAhead, {&further}), &farAhead);
  // Nothing better: the next frame all the same.
  EXPECT_EQ(pair_choice::choose(reference, &nextStrip, {}), &nextStrip);
  EXPECT_EQ(pair_choice::choose(reference, nullptr, {}), nullptr);
  // A frame from the same spot has no parallax.
  const pair_choice::View hover = viewAt(at(20.5, -45), 4);
  EXPECT_EQ(pair_choice::choose(reference, &hover, {&before}), &before);
}

// A frame that chose the reference covers their shared ground already: the next frame,
// sharing new ground, goes first while it shares a quarter; the other stays a fallback.
TEST(PairChoice, TheNextFrameBeforeAPairAlreadyMatched) {
  const pair_choice::View reference = viewAt(at(20, -45), 2);
  pair_choice::View before = viewAt(at(-5, -45), 1);          // shares two thirds
  const pair_choice::View farAhead = viewAt(at(65, -45), 3);  // two fifths
  const pair_choice::View nextStrip = viewAt(at(20, 45, 180), 3);
  before.partner = 2;
  EXPECT_EQ(pair_choice::choose(reference, &farAhead, {&before}), &farAhead);
  EXPECT_EQ(pair_choice::fallbacks(reference, &farAhead, &farAhead, {&before}).front(), &before);
  EXPECT_EQ(pair_choice::choose(reference, &nextStrip, {&before}), &before);
  before.partner = 0;
  EXPECT_EQ(pair_choice::choose(reference, &farAhead, {&before}), &before);
}

// After the chosen partner, the others that share a quarter of the ground or more, most
// first, at most two; none without parallax, the chosen one never twice.
TEST(PairChoice, FramesToTryWhenTheChosenOneGivesNoDepthMap) {
  const pair_choice::View reference = viewAt(at(20, -45), 2);
  const pair_choice::View before = viewAt(at(-5, -45), 1);     // shares two thirds
  const pair_choice::View further = viewAt(at(-30, -45), 0);   // a third
  const pair_choice::View alongside = viewAt(at(45, -45), 3);  // two thirds
  const pair_choice::View nextStrip = viewAt(at(20, 45, 180), 3);
  const pair_choice::View hover = viewAt(at(20.5, -45), 4);
  using Tried = std::vector<const pair_choice::View*>;
  EXPECT_EQ(pair_choice::fallbacks(reference, &alongside, &alongside, {&further, &before}),
            (Tried{&before, &further}));
  EXPECT_EQ(pair_choice::fallbacks(reference, &before, &alongside, {&further, &before}),
            (Tried{&alongside, &further}));
  EXPECT_EQ(pair_choice::fallbacks(reference, &before, &nextStrip, {&hover, &further, &before}),
            (Tried{&further}));
  EXPECT_TRUE(pair_choice::fallbacks(reference, &before, nullptr, {&before}).empty());
  const pair_choice::View ahead = viewAt(at(30, -45), 5);
  EXPECT_EQ(pair_choice::fallbacks(reference, &before, &ahead, {&further, &alongside}).size(),
            pair_choice::kMaxFallbacks);
}

// Keeps every depth result published.
class ResultRecorder {
 public:
  ResultRecorder() {
    sub_ =
        fw::Messenger::instance().subscribe("sbt.dense_frame", 0, &ResultRecorder::onResult, this);
  }
  ~ResultRecorder() { sub_.shutdown(); }
  void onResult(const Result& result) { results.push_back(result); }
  std::vector<Result> results;

 private:
  fw::Subscriber sub_;
};

TEST(StripTurn, TheLastFrameOfEveryStripGetsADepthMap) {
  DENSETEST_SKIP_UNDER_TSAN();
  // Two strips of three frames over the relief, 90 m apart, the second flown back west.
  const Ground relief(false);
  const std::vector<View> views = {at(-30, -45),    at(-5, -45),     at(20, -45),
                                   at(20, 45, 180), at(-5, 45, 180), at(-30, 45, 180)};
  vmtest::TempDir dir;
  fw::RunTally::instance().reset();
  ResultRecorder recorder;
  LogLines log;
  {
    DenseDepth stage(4.0f, std::make_shared<SGM_CPU>());
    for (size_t i = 0; i < views.size(); ++i) {
      const std::string path = (dir.path() / (std::to_string(i) + ".png")).string();
      ASSERT_TRUE(cv::imwrite(path, densetest::renderImage(relief, views[i])));
      stage.AddFrame(densetest::locatedFrame(relief, views[i], i, path));
    }
  }
  ASSERT_EQ(recorder.results.size(), views.size());
  for (size_t i = 0; i < views.size(); ++i) {
    const std::shared_ptr<ImageScaled> record = recorder.results[i].get();
    ASSERT_TRUE(record) << i;
    EXPECT_EQ(record->frame->id, i);
    ASSERT_FALSE(record->depth.empty()) << "frame " << i;
    EXPECT_GE(densetest::scoreDepth(relief, *record, 4).accurate, 0.8) << "frame " << i;
  }
  EXPECT_EQ(log.count(fw::kLogWarning, "Negative Overlap Calculated"), 0);
  EXPECT_EQ(fw::RunTally::instance().count(fw::tally::kDepthMaps), 6);
  EXPECT_EQ(fw::RunTally::instance().failures(fw::tally::kDepthMaps), 0);
}

// The middle frame's chosen partner (the next one) shows nothing its matcher can hold on
// to: the frame before it, which shares two thirds of its ground, gives its depth map.
TEST(StripTurn, AFrameWhoseChosenPartnerFailsPairsWithAnother) {
  DENSETEST_SKIP_UNDER_TSAN();
  const Ground relief(false);
  const std::vector<View> views = {at(-30, -45), at(-5, -45), at(20, -45)};
  vmtest::TempDir dir;
  ResultRecorder recorder;
  LogLines log;
  {
    DenseDepth stage(4.0f, std::make_shared<SGM_CPU>());
    for (size_t i = 0; i < views.size(); ++i) {
      const std::string path = (dir.path() / (std::to_string(i) + ".png")).string();
      const cv::Mat blank(240, 320, CV_8UC3, cv::Scalar::all(128));
      ASSERT_TRUE(cv::imwrite(path, i == 2 ? blank : densetest::renderImage(relief, views[i])));
      stage.AddFrame(densetest::locatedFrame(relief, views[i], i, path));
    }
  }
  ASSERT_EQ(recorder.results.size(), views.size());
  const std::shared_ptr<ImageScaled> middle = recorder.results[1].get();
  ASSERT_TRUE(middle);
  ASSERT_EQ(middle->frame->id, 1u);
  ASSERT_FALSE(middle->depth.empty());
  EXPECT_GE(densetest::scoreDepth(relief, *middle, 4).accurate, 0.8);
  EXPECT_EQ(log.count(fw::kLogInfo, "Frame ID:1,Device:CPU,Status:Succeed"), 1);
  EXPECT_EQ(log.count(fw::kLogInfo, "Frame ID:2,Device:CPU,Status:Failed"), 1);
}

TEST(StripTurn, APairThatFailsIsCountedWithItsReasonAndItsFrameTravelsOn) {
  // Two frames over a featureless grey plane: the matcher finds nothing.
  fw::RunTally::instance().reset();
  LogLines log;
  const Ground plane(true);
  vmtest::TempDir dir;
  ResultRecorder recorder;
  {
    DenseDepth stage(4.0f, std::make_shared<SGM_CPU>());
    for (uint64_t i = 0; i < 2; ++i) {
      const std::string path = (dir.path() / (std::to_string(i) + ".png")).string();
      ASSERT_TRUE(cv::imwrite(path, cv::Mat(240, 320, CV_8UC3, cv::Scalar::all(128))));
      stage.AddFrame(densetest::locatedFrame(plane, at(-10.0 + 20.0 * i, 0), i, path));
    }
  }
  ASSERT_EQ(recorder.results.size(), 2u);
  for (const Result& result : recorder.results) {
    ASSERT_TRUE(result.get()) << "a failed frame still travels down the chain";
    EXPECT_TRUE(result.get()->depth.empty());
  }
  EXPECT_EQ(fw::RunTally::instance().failures(fw::tally::kDepthMaps), 2);
  EXPECT_NE(fw::RunTally::instance().summary().find("too few valid pixels 2"), std::string::npos)
      << fw::RunTally::instance().summary();
  EXPECT_EQ(log.count(fw::kLogInfo, "Status:Failed,Time:"), 2);
  EXPECT_EQ(log.count(fw::kLogInfo, ",Reason:too few valid pixels"), 2);
}

}  // namespace
