// The refinement on rendered surveys with recorded GPS and attitude noise and a focal length
// off in the calibration, against the flights' true poses and scene; and its fallbacks.

#include "pose_refiner.h"
#include "refinement_accuracy_for_tests.h"

#include "direct_georeferencing.h"
#include "front_end_test_support.h"
#include "georeferencing_front_end.h"
#include "testsupport/sanitizer_build.h"
#include "tools/example_flight.h"
#include "tools/geo_frame.h"
#include "tools/rendered_view_cache.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <tuple>

namespace sfm {
namespace {

using namespace accuracy;

void expectInOrder(const Frames& located, size_t count) {
  ASSERT_EQ(located.size(), count);
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(located[i]->id, i);
    const SE3 p = located[i]->getPoseSE3();
    EXPECT_TRUE(std::isfinite(p.q.x + p.q.y + p.q.z + p.q.w + p.t.x + p.t.y + p.t.z))
        << "frame " << i;
    EXPECT_GT(located[i]->observationCount(), 0) << "frame " << i;
  }
}

// What a survey's refinement reaches, against what direct georeferencing gives.
struct Reached {
  Errors before, after;
  double rms = 0.0, depth_error = 0.0, offset_before = 0.0, offset_after = 0.0, focal_error = 0.0;
};

Reached refineSurvey(const Survey& s) {
  const SurveyRun run = runSurvey(s, VM_RENDER_CACHE);
  const size_t n = run.flight.plan.frames.size();
  expectInOrder(run.direct, n);
  expectInOrder(run.refined, n);
  Reached r;
  r.before = poseErrors(run.flight, run.direct);
  r.after = poseErrors(run.flight, run.refined);
  std::tie(r.rms, r.depth_error) = mapPointConsistency(run.refined);
  r.offset_before = medianRectifiedOffset(run.flight, run.views, run.direct);
  r.offset_after = medianRectifiedOffset(run.flight, run.views, run.refined);
  r.focal_error = focalOf(run.refined) / run.flight.plan.options.camera.fx - 1.0;
  ::testing::Test::RecordProperty("relative_rotation_deg_before",
                                  std::to_string(r.before.rotation));
  ::testing::Test::RecordProperty("relative_rotation_deg_after", std::to_string(r.after.rotation));
  ::testing::Test::RecordProperty("relative_position_m_before", std::to_string(r.before.position));
  ::testing::Test::RecordProperty("relative_position_m_after", std::to_string(r.after.position));
  ::testing::Test::RecordProperty("relative_position_m_after_similarity",
                                  std::to_string(r.after.position_after_similarity));
  ::testing::Test::RecordProperty("scale_error_expected_from_gps",
                                  std::to_string(r.after.scale_bound));
  ::testing::Test::RecordProperty("mean_centre_error_m_before", std::to_string(r.before.centre));
  ::testing::Test::RecordProperty("mean_centre_error_m_after", std::to_string(r.after.centre));
  ::testing::Test::RecordProperty("focal_error_after", std::to_string(r.focal_error));
  ::testing::Test::RecordProperty("reprojection_rms_px", std::to_string(r.rms));
  ::testing::Test::RecordProperty("rectified_offset_px_before", std::to_string(r.offset_before));
  ::testing::Test::RecordProperty("rectified_offset_px_after", std::to_string(r.offset_after));
  EXPECT_LE(r.depth_error, 0.005) << "the key points' depths are those of the points they see";
  return r;
}

TEST(PoseRefinement, NoisyGpsAttitudeAndFocalLength) {
  VMTEST_PLAIN_BUILD_ONLY();
  const Reached r = refineSurvey(noisySurvey(2.0, 1.5, 0.03, 0.75, 5));
  // Over a nearly flat scene a frame moved along the ground and turned by that move over the
  // height looks much the same: what the noisy positions leave of the relative positions
  // beyond a similarity (about a decimetre here) comes back as a few hundredths of a degree.
  EXPECT_LE(r.after.rotation, 0.08) << "before: " << r.before.rotation;
  // The block's scale comes from positions with 2 m of noise: a fraction of a metre over a
  // 22 m baseline is what ten frames can tell.
  EXPECT_LE(r.after.position, r.before.position / 5);
  EXPECT_LE(r.after.position_after_similarity, 0.2);
  EXPECT_LE(r.after.centre, 2.0) << "no drift away from the recorded positions";
  EXPECT_LE(std::abs(r.focal_error), 0.01);
  EXPECT_LE(r.rms, 0.5);
  EXPECT_LE(r.offset_after, 0.5) << "before: " << r.offset_before;
}

TEST(PoseRefinement, LargeAttitudeErrorsAtSixtyPercentOverlap) {
  VMTEST_PLAIN_BUILD_ONLY();
  const Reached r = refineSurvey(noisySurvey(3.0, 15.0, 0.03, 0.6, 5));
  // Short strips at 60 % overlap with the attitude nearly unknown: the weakest block.
  EXPECT_LE(r.after.rotation, 0.15) << "before: " << r.before.rotation;
  EXPECT_LE(r.after.position, r.before.position / 5);
  EXPECT_LE(r.after.position_after_similarity, 0.3);
  EXPECT_LE(std::abs(r.focal_error), 0.02);
  EXPECT_LE(r.after.centre, 3.0) << "no drift away from the recorded positions";
  EXPECT_LE(r.rms, 0.5);
  EXPECT_LE(r.offset_after, 0.5) << "before: " << r.offset_before;
}

// SIFT places its features to a few hundredths of a pixel, ORB's corners to about a fifth:
// with SIFT the images alone bring consecutive frames within the survey's targets.
TEST(PoseRefinement, SiftFeaturesReachTheSurveyTargets) {
  VMTEST_PLAIN_BUILD_ONLY();
  const Reached r = refineSurvey(noisySurvey(2.0, 1.5, 0.03, 0.75, 5, FeatureDetector::kSift));
  EXPECT_LE(r.after.rotation, 0.05) << "before: " << r.before.rotation;
  EXPECT_LE(r.after.position_after_similarity, 0.05);
  EXPECT_LE(std::abs(r.focal_error), 0.01);
  EXPECT_LE(r.after.centre, 2.0);
  EXPECT_LE(r.rms, 0.5);
  Survey exact;
  exact.detector = FeatureDetector::kSift;
  const SurveyRun run = runSurvey(exact, VM_RENDER_CACHE);
  const Errors clean = poseErrors(run.flight, run.refined);
  // The images, not the exact records, place these frames: to a tenth of a pixel.
  EXPECT_LE(clean.attitude, 0.015);
  ::testing::Test::RecordProperty("noise_free_worst_attitude_error_deg",
                                  std::to_string(clean.attitude));
}

TEST(PoseRefinement, NoiseFreeFlightStaysOnTheTruth) {
  VMTEST_PLAIN_BUILD_ONLY();
  const SurveyRun run = runSurvey({}, VM_RENDER_CACHE);
  expectInOrder(run.refined, run.flight.plan.frames.size());
  const Errors after = poseErrors(run.flight, run.refined);
  double worst_centre = 0.0;
  for (size_t i = 0; i < run.refined.size(); ++i) {
    worst_centre = std::max(worst_centre, cv::norm(truePose(run.flight, i).centre -
                                                   locatedPose(*run.refined[i]).centre));
  }
  EXPECT_LE(worst_centre, 0.01);
  // The images place the frames, not the records, exact as they are here: ORB's corners to
  // about a fifth of a pixel of these small frames, three hundredths of a degree. Matches that
  // tie different places would turn the block by more.
  EXPECT_LE(after.attitude, 0.03);
  ::testing::Test::RecordProperty("worst_centre_error_m", std::to_string(worst_centre));
  ::testing::Test::RecordProperty("worst_attitude_error_deg", std::to_string(after.attitude));
}

bool samePose(fw::MapFrame& a, fw::MapFrame& b) {
  const SE3 p = a.getPoseSE3(), q = b.getPoseSE3();
  return p.q.x == q.q.x && p.q.y == q.q.y && p.q.z == q.q.z && p.q.w == q.q.w && p.t.x == q.t.x &&
         p.t.y == q.t.y && p.t.z == q.t.z;
}

// A frame the images did not place goes near its direct pose: moved by the bias its refined
// neighbours show in their fixes (2 m sigmas here) and turned by no more than their shared
// turn from the recorded attitude (1.5 degree noise).
bool nearDirectPose(fw::MapFrame& a, fw::MapFrame& b) {
  const TruePose p = locatedPose(a), q = locatedPose(b);
  return cv::norm(p.centre - q.centre) <= 2.0 &&
         angleOf(p.world_from_camera.t() * q.world_from_camera) <= 3.0;
}

TEST(PoseRefinement, PairsRelatedOnSeveralThreadsGiveTheSamePoses) {
  const flight::ExampleFlight f = makeFlight(noisySurvey(2.0, 1.5, 0.03, 0.75, 4));
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  FrontEndOptions threaded;
  threaded.refinement.threads = 3;
  const Frames one = locate(f, views), three = locate(f, views, threaded);
  ASSERT_EQ(one.size(), three.size());
  // The solver sums in another order on several threads: equal to rounding.
  for (size_t i = 0; i < one.size(); ++i) {
    const TruePose a = locatedPose(*one[i]), b = locatedPose(*three[i]);
    EXPECT_LT(cv::norm(a.centre - b.centre), 1e-4) << "frame " << i;
    EXPECT_LT(angleOf(a.world_from_camera.t() * b.world_from_camera), 1e-5) << "frame " << i;
  }
}

FrontEndOptions refinementOff() {
  FrontEndOptions off;
  off.refinement.enabled = false;
  return off;
}

TEST(PoseRefinement, BadFramesAreSentOnceInOrderPlacedFromTheirNeighboursAndTheRestRefined) {
  const flight::ExampleFlight f = makeFlight(noisySurvey(2.0, 1.5, 0.03, 0.75, 5));
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  flight::ExampleFlightOptions elsewhere_options;
  elsewhere_options.flight.camera = f.plan.options.camera;
  elsewhere_options.scene_seed = 99;
  const flight::ExampleFlight elsewhere = flight::makeExampleFlight(elsewhere_options);
  const cv::Mat grey(views[0].image.size(), CV_8UC3, cv::Scalar(128, 128, 128));
  const std::vector<Input> inputs = {
      {0, views[0].image}, {1, views[1].image},
      {2, views[2].image}, {3, grey},                                     // fog
      {4, views[4].image}, {4, views[4].image},                           // taken twice
      {5, views[5].image}, {6, flight::renderFrame(elsewhere, 3).image},  // another place
      {7, views[7].image}, {8, views[8].image},
      {9, views[9].image}};
  testing::CapturedLog log;
  const Frames refined = locateInputs(f, inputs);
  const Frames direct = locateInputs(f, inputs, refinementOff());
  expectInOrder(refined, inputs.size());
  EXPECT_TRUE(nearDirectPose(*refined[3], *direct[3])) << "the grey frame is not refined";
  EXPECT_TRUE(nearDirectPose(*refined[7], *direct[7])) << "nor the frame from elsewhere";
  EXPECT_EQ(log.count(fw::kLogInfo, {"/data/frame_3.jpg", "refined neighbours", "features"}), 1);
  EXPECT_EQ(log.count(fw::kLogInfo, {"/data/frame_7.jpg", "refined neighbours"}), 1);
  int changed = 0;
  for (size_t i : {0, 1, 2, 4, 6, 8, 9}) changed += !samePose(*refined[i], *direct[i]);
  EXPECT_EQ(changed, 7) << "the good frames are refined";
  const std::vector<double> camera = refined[0]->getCamera(0).getParameters();
  EXPECT_NE(camera, direct[0]->getCamera(0).getParameters()) << "the camera is refined";
  for (size_t i = 1; i < refined.size(); ++i)
    EXPECT_EQ(refined[i]->getCamera(0).getParameters(), camera)
        << "frame " << i << ": refined or not, every frame carries the one camera";
}

TEST(PoseRefinement, FramesThatComeBeforeTheCameraIsSettledCarryTheSettledCamera) {
  // A featureless first frame waits for the first window instead of going out with the
  // calibration while the others go with the camera the images refined.
  const flight::ExampleFlight f = makeFlight(noisySurvey(2.0, 1.5, 0.03, 0.75, 5));
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  std::vector<Input> inputs = {{0, cv::Mat(views[0].image.size(), CV_8UC3, cv::Scalar::all(90))}};
  for (size_t i = 1; i < views.size(); ++i) inputs.push_back({i, views[i].image});
  const Frames refined = locateInputs(f, inputs);
  const Frames direct = locateInputs(f, inputs, refinementOff());
  expectInOrder(refined, inputs.size());
  EXPECT_TRUE(nearDirectPose(*refined[0], *direct[0]));
  const std::vector<double> camera = refined.back()->getCamera(0).getParameters();
  EXPECT_NE(camera, direct.back()->getCamera(0).getParameters()) << "the camera is refined";
  for (size_t i = 0; i + 1 < refined.size(); ++i)
    EXPECT_EQ(refined[i]->getCamera(0).getParameters(), camera) << "frame " << i;
}

TEST(PoseRefinement, ShortRunsAndRunsThatStopEarlySendEveryFrameAtTheEnd) {
  const flight::ExampleFlight f = makeFlight(noisySurvey(2.0, 1.5, 0.03, 0.75, 5));
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  expectInOrder(locateInputs(f, {{0, views[0].image}, {1, views[1].image}}), 2);
  // A live run announced with 12 frames that ends after 3: nothing is held back.
  testing::RecordingChain chain;
  GeoreferencingFrontEnd front_end(&chain, {});
  front_end.setFrameCount(12);
  for (size_t i = 0; i < 3; ++i) front_end.addFrame(inputOf(f, i, views[i].image));
  EXPECT_TRUE(chain.frames.empty()) << "frames wait in the refinement window";
  front_end.finishInput();
  expectInOrder(chain.frames, 3);
  EXPECT_NEAR(chain.locateProgress(), 1.0, 1e-12);
}

// A frame list announces its length: its first window takes the whole flight (within the
// frame list's window, past the longest a live run's first window grows to), adjusted whole as
// it doubles, so that the camera and the GPS's lever come from every strip; without a count
// the frames go out after the first window.
TEST(PoseRefinement, AFrameListIsAdjustedWholeBeforeItsFirstFrameIsSent) {
  VMTEST_PLAIN_BUILD_ONLY();
  const flight::ExampleFlight f = makeFlight(noisySurvey(2.0, 1.5, 0.03, 0.75, 5));
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  const size_t n = views.size();
  ASSERT_GE(n, 8u);
  FrontEndOptions options;
  options.refinement.first_window = 4;
  options.refinement.longest_first_window = 5;
  options.refinement.window_size = 3;
  double progress_before_the_end = 0.0;
  auto sentBeforeTheEnd = [&](int announced, Frames* sent) {
    testing::RecordingChain chain;
    GeoreferencingFrontEnd front_end(&chain, options);
    if (announced > 0) front_end.setFrameCount(announced);
    for (size_t i = 0; i < n; ++i) front_end.addFrame(inputOf(f, i, views[i].image));
    const size_t before = chain.frames.size();
    progress_before_the_end = chain.locateProgress();
    front_end.finishInput();
    *sent = chain.frames;
    return before;
  };
  Frames listed, unannounced;
  EXPECT_EQ(sentBeforeTheEnd(static_cast<int>(n), &listed), 0u) << "the whole list is one window";
  EXPECT_NEAR(progress_before_the_end, 0.5, 1e-12) << "its frames were taken in, none sent yet";
  EXPECT_GT(sentBeforeTheEnd(0, &unannounced), 0u) << "a run of unknown length goes on sending";
  options.refinement.frames_arrive_live = true;
  Frames live;
  EXPECT_GT(sentBeforeTheEnd(static_cast<int>(n), &live), 0u)
      << "a live run that announced its count still sends while it flies";
  options.refinement.frames_arrive_live = false;
  expectInOrder(listed, n);
  const Errors whole = poseErrors(f, listed);
  EXPECT_LE(whole.rotation, 0.08);
  EXPECT_LE(whole.position_after_similarity, 0.2);
  EXPECT_LE(std::abs(focalOf(listed) / f.plan.options.camera.fx - 1.0), 0.01);
  ::testing::Test::RecordProperty("rel_rotation_deg", std::to_string(whole.rotation));
}

TEST(PoseRefinement, FeaturelessFlightIsExactlyDirectGeoreferencing) {
  const flight::ExampleFlight f = makeFlight(noisySurvey(2.0, 1.5, 0.03, 0.75, 5));
  std::vector<Input> inputs;
  for (size_t i = 0; i < 8; ++i)
    inputs.push_back({i, cv::Mat(480, 640, CV_8UC3, cv::Scalar(20 * i, 100, 50))});
  const Frames refined = locateInputs(f, inputs), direct = locateInputs(f, inputs, refinementOff());
  ASSERT_EQ(refined.size(), direct.size());
  for (size_t i = 0; i < refined.size(); ++i) {
    EXPECT_TRUE(samePose(*refined[i], *direct[i])) << "frame " << i;
    ASSERT_EQ(refined[i]->keyPointCount(), direct[i]->keyPointCount());
    pi::Point3ub a, b;
    refined[i]->getKeyPointColor(0, a);
    direct[i]->getKeyPointColor(0, b);
    EXPECT_EQ(a, b);
  }
}

TEST(PoseRefinement, KeepsOnlyABoundedNumberOfFeatureSets) {
  const flight::ExampleFlight f = makeFlight(noisySurvey(2.0, 1.5, 0.03, 0.75, 5));
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  RefinementOptions options;
  options.window_size = 3;
  options.first_window = 3;
  options.longest_first_window = 3;
  options.neighbour_count = 1;
  options.stored_frames = 5;
  options.max_features = 1000;
  options.points_per_frame = 100;
  uint64_t next_id = 1;
  PoseRefiner refiner(options, &next_id);
  size_t sent = 0, most_tracks = 0;
  for (size_t i = 0; i < views.size(); ++i) {
    const IncomingFrame in = readIncomingFrame(*inputOf(f, i, views[i].image));
    sent +=
        refiner.add(in, worldFromCamera(in.latitude, in.longitude, in.altitude, in.angles)).size();
    EXPECT_LE(refiner.storedFrames(), 5u);
    most_tracks = std::max(most_tracks, refiner.storedTracks());
    // A frame is refined when the next one comes, and leaves once three newer ones are.
    EXPECT_EQ(sent, i < 4 ? 0 : i - 3) << "frame " << i;
  }
  EXPECT_EQ(sent + refiner.finish().size(), views.size());
  EXPECT_LT(most_tracks, 5u * options.max_features);
}

TEST(PoseRefinement, ASentFramesPointsStayAsTheyWereWhenItWasSent) {
  const flight::ExampleFlight f = makeFlight(noisySurvey(2.0, 1.5, 0.03, 0.75, 5));
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  RefinementOptions options;
  options.window_size = 3;
  options.first_window = 3;
  uint64_t next_id = 1;
  PoseRefiner refiner(options, &next_id);
  // The points of every frame sent, with where they stood when it left.
  std::vector<std::pair<std::shared_ptr<fw::MapPoint>, pi::Point3d>> sent_points;
  size_t refined_frames = 0;
  const auto keep = [&](const std::vector<RefinedFrame>& frames) {
    for (const RefinedFrame& frame : frames) {
      refined_frames += frame.refined ? 1 : 0;
      for (const auto& point : frame.map_points)
        sent_points.emplace_back(point, point->getPosition());
    }
  };
  for (size_t i = 0; i < views.size(); ++i) {
    const IncomingFrame in = readIncomingFrame(*inputOf(f, i, views[i].image));
    keep(refiner.add(in, worldFromCamera(in.latitude, in.longitude, in.altitude, in.angles)));
  }
  keep(refiner.finish());
  ASSERT_GE(refined_frames, 2u) << "the survey is refined, and later windows move its tracks";
  // The back end reads a frame's points whenever it reaches it: later windows must not move
  // them under it, or two runs give different products.
  for (const auto& [point, position] : sent_points) {
    const pi::Point3d now = point->getPosition();
    ASSERT_EQ(now.x, position.x);
    ASSERT_EQ(now.y, position.y);
    ASSERT_EQ(now.z, position.z);
  }
}

}  // namespace
}  // namespace sfm
