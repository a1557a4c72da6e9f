// The refinement against records that mislead it: a GPS fix far off, headings that are the
// course over the ground, a calibration exact or 6% off on blocks that tell the focal length
// well or hardly at all.

#include "refinement_accuracy_for_tests.h"

#include "front_end_test_support.h"
#include "pose_gate.h"

#include "framework/run_tally.h"
#include "testsupport/sanitizer_build.h"
#include "tools/rendered_view_cache.h"

#include <gtest/gtest.h>

#include <cmath>

namespace sfm {
namespace {

using namespace accuracy;

// Sent at its fix less the bias its refined neighbours show in theirs: within a sigma of it.
bool nearPlace(fw::MapFrame& a, fw::MapFrame& b) {
  return cv::norm(locatedPose(a).centre - locatedPose(b).centre) <= 2.0;
}

TEST(RefinementSafeguards, AFrameTheImagesPullFarFromItsFixStaysAtIt) {
  Survey s = noisySurvey(2.0, 1.5, 0.03);
  flight::ExampleFlight f = makeFlight(s);
  // Frame 6's fix is 30 m (15 sigmas) east of where it was taken; its images say otherwise.
  const size_t moved = 6;
  cv::Vec3d& g = f.plan.frames[moved].recorded_geodetic;
  g[1] += 30.0 / (111320.0 * std::cos(g[0] * M_PI / 180.0));
  // Features looked for anywhere in the image: the images pull the frame off its fix.
  RefinementOptions anywhere;
  anywhere.search_sigmas = 0.0;
  fw::RunTally::instance().reset();
  testing::CapturedLog log;
  const SurveyRun run = runFlight(f, {}, anywhere, VM_RENDER_CACHE);
  ASSERT_EQ(run.refined.size(), f.plan.frames.size());
  EXPECT_TRUE(nearPlace(*run.refined[moved], *run.direct[moved]));
  EXPECT_EQ(log.count(fw::kLogInfo, {"/data/frame_6.jpg", "refined neighbours", kBeyondGpsReach}),
            1);
  EXPECT_LE(farthestFromGps(run, {}), 3.0) << "no frame is sent beyond three sigmas of its fix";
  const fw::RunTally& tally = fw::RunTally::instance();
  EXPECT_GE(tally.failures(fw::tally::kFramesRefined), 1);
  EXPECT_EQ(tally.count(fw::tally::kFramesRefined) + tally.failures(fw::tally::kFramesRefined),
            static_cast<long long>(f.plan.frames.size()))
      << "every frame sent is counted once, refined or with its reason";
  EXPECT_GE(tally.count(fw::tally::kFramesRefined), 7) << "the others are refined";
  // Looked for where the fixes put them, its features are not found at all.
  const SurveyRun guided = runFlight(f, {}, {}, VM_RENDER_CACHE);
  EXPECT_TRUE(nearPlace(*guided.refined[moved], *guided.direct[moved]));
  EXPECT_LE(farthestFromGps(guided, {}), 3.0);
}

TEST(RefinementSafeguards, AFrameRefusedForItsRecordIsPlacedWhereTheMapPointsItSeesPutIt) {
  VMTEST_PLAIN_BUILD_ONLY();
  // Frame 6's recorded pitch is 12 degrees off, a dozen of its sigmas: the images turn it back
  // and the gate refuses so large a turn, but the block's points it sees tell its pose, where
  // its neighbours' mean turn from their records would leave it 12 degrees off.
  Survey s = noisySurvey(1.0, 1.0, 0.0);
  flight::ExampleFlight f = makeFlight(s);
  const size_t tilted = 6;
  f.plan.frames[tilted].recorded_attitude[0] += 12.0;
  fw::RunTally::instance().reset();
  testing::CapturedLog log;
  const SurveyRun run = runFlight(f, {}, {}, VM_RENDER_CACHE);
  ASSERT_EQ(run.refined.size(), f.plan.frames.size());
  EXPECT_EQ(log.count(fw::kLogInfo, {"/data/frame_6.jpg", "map points it sees", kTiltedTooFar}), 1);
  const TruePose truth = truePose(f, tilted);
  const TruePose placed = locatedPose(*run.refined[tilted]);
  EXPECT_LE(angleOf(truth.world_from_camera.t() * placed.world_from_camera), 1.0);
  // As close as its refined neighbours are: the block's turn the fixes leave is theirs too.
  const auto errorOf = [&](size_t i) {
    return angleOf(truePose(f, i).world_from_camera.t() *
                   locatedPose(*run.refined[i]).world_from_camera);
  };
  EXPECT_LE(errorOf(tilted), std::max(errorOf(tilted - 1), errorOf(tilted + 1)) + 0.1)
      << errorOf(tilted - 1) << " " << errorOf(tilted + 1);
  EXPECT_LE(cv::norm(truth.centre - placed.centre), 1.0) << "the fix's 1 m noise at most";
  EXPECT_EQ(fw::RunTally::instance().failures(fw::tally::kFramesRefined), 1)
      << "it is counted as not refined";
  EXPECT_LE(poseErrors(f, run.refined).attitude, 1.0) << "no frame is sent degrees off";
}

TEST(RefinementSafeguards, HeadingsOffByTheCrabAngleDoNotBendTheBlock) {
  VMTEST_PLAIN_BUILD_ONLY();
  // Exact positions, pitch and roll, every heading 20 degrees off, all claimed to the frame
  // list's default sigmas (5 m, 5 degrees).
  Survey s;
  s.yaw_offset = 20.0;
  s.sigmas.frame_list_defaults = true;
  const SurveyRun run = runSurvey(s, VM_RENDER_CACHE);
  const Errors direct = poseErrors(run.flight, run.direct);
  const Errors after = poseErrors(run.flight, run.refined);
  EXPECT_GT(direct.attitude, 19.0);
  // Held to the recorded headings by their 5 degrees, the block turned by 4.5 degrees and
  // its frames moved 1.75 m apart from each other.
  EXPECT_LE(after.attitude, 0.5) << "the positions set the headings";
  EXPECT_LE(after.position, 0.3);
  EXPECT_LE(after.rotation, 0.1);
  ::testing::Test::RecordProperty("worst_attitude_error_deg", std::to_string(after.attitude));
}

TEST(RefinementSafeguards, FramesWithoutAttitudeAreSetByThePositionsAndImages) {
  VMTEST_PLAIN_BUILD_ONLY();
  // Taken as looking straight down along the track: off by the true wander (1.5 degrees).
  Survey s = noisySurvey(2.0, 0.0, 0.0);
  s.sigmas.no_attitude = true;
  const SurveyRun run = runSurvey(s, VM_RENDER_CACHE);
  const Errors direct = poseErrors(run.flight, run.direct);
  const Errors after = poseErrors(run.flight, run.refined);
  EXPECT_LE(after.rotation, direct.rotation / 10);
  EXPECT_LE(after.rotation, 0.1);
  EXPECT_LE(after.position_after_similarity, 0.3);
  EXPECT_LE(farthestFromGps(run, {}), 3.0);
  // The whole block's tilt is the positions' to tell: 2 m over the 40 m between the strips
  // leave a few degrees; the first frame of a strip, whose track turned sideways, is no
  // exception.
  EXPECT_LE(after.attitude, 5.0);
  ::testing::Test::RecordProperty("relative_rotation_deg", std::to_string(after.rotation));
  ::testing::Test::RecordProperty("relative_rotation_deg_direct", std::to_string(direct.rotation));
  ::testing::Test::RecordProperty("worst_attitude_error_deg", std::to_string(after.attitude));
}

TEST(RefinementSafeguards, AnExactCalibrationIsKeptWhereTheFlightHardlyTellsTheFocalLength) {
  VMTEST_PLAIN_BUILD_ONLY();
  // Exact records with the loose sigmas a frame list states when it gives none.
  Survey s;
  s.sigmas.frame_list_defaults = true;
  const SurveyRun run = runSurvey(s, VM_RENDER_CACHE);
  const double error = focalOf(run.refined) / run.flight.plan.options.camera.fx - 1.0;
  EXPECT_LE(std::abs(error), 0.001);
  ::testing::Test::RecordProperty("focal_error", std::to_string(error));
  // The stated 5 to 10 m would let the block wander; the fixes scatter not at all about their
  // track, so every frame is held to the least GPS sigma.
  Sigmas least;
  least.gps = RefinementOptions().least_gps_sigma;
  EXPECT_LE(farthestFromGps(run, least), RefinementOptions().max_gps_sigmas);
}

TEST(RefinementSafeguards, GenerousStatedSigmasDoNotLetRefinedFramesStrayFromTheTruth) {
  VMTEST_PLAIN_BUILD_ONLY();
  // The fixed-wing flight: fixes 1.5 m off at random, stated as the frame list's default 5
  // to 10 m, furrowed fields, the course written as the heading, the focal length 6% short.
  Sigmas stated;
  stated.frame_list_defaults = true;
  const SurveyRun run = runFlight(flight::makeExampleFlight(flight::fixedWingFlight(false)), stated,
                                  {}, VM_RENDER_CACHE);
  const Errors direct = poseErrors(run.flight, run.direct);
  const Errors refined = poseErrors(run.flight, run.refined);
  EXPECT_LE(refined.centre, direct.centre);
  EXPECT_LT(refined.rotation, direct.rotation);
  // The first window reaches past the first turn: the strips side by side tell the focal
  // length, 6% short in the calibration.
  EXPECT_LE(std::abs(focalOf(run.refined) / run.flight.plan.options.camera.fx - 1.0), 0.01);
  ::testing::Test::RecordProperty("mean_centre_error_m_direct", std::to_string(direct.centre));
  ::testing::Test::RecordProperty("mean_centre_error_m_refined", std::to_string(refined.centre));
}

TEST(RefinementSafeguards, AFocalLengthSixPercentShortIsRecoveredWhereTheFlightTellsIt) {
  VMTEST_PLAIN_BUILD_ONLY();
  // A camera wobbling by several degrees sees the ground from enough directions to tell its
  // focal length from the flying height.
  Survey s = noisySurvey(2.0, 1.5, -0.06);
  s.attitude_jitter = 8.0;
  const SurveyRun run = runSurvey(s, VM_RENDER_CACHE);
  const double error = focalOf(run.refined) / run.flight.plan.options.camera.fx - 1.0;
  EXPECT_LE(std::abs(error), 0.01);
  EXPECT_LE(farthestFromGps(run, {}), 3.0);
  ::testing::Test::RecordProperty("focal_error", std::to_string(error));
}

TEST(RefinementSafeguards, FixesThatTrailTheExposuresAndDriftDoNotBendTheBlock) {
  VMTEST_PLAIN_BUILD_ONLY();
  // Fixes 2 m behind the exposures and 1.4 m right of the track, drifting by 0.3 m from fix
  // to fix besides their 1 m of white noise, stated as 1 m.
  Survey s = noisySurvey(1.0, 1.5, 0.0, 0.75, 6);
  flight::ExampleFlight f = makeFlight(s);
  addGpsBias(f, {2.0, 1.4, 0.3});
  fw::RunTally::instance().reset();
  const SurveyRun run = runFlight(f, s.sigmas, {}, VM_RENDER_CACHE);
  const Errors after = poseErrors(run.flight, run.refined);
  EXPECT_EQ(fw::RunTally::instance().count(fw::tally::kFramesRefined),
            static_cast<long long>(f.plan.frames.size()))
      << "no frame is refused for its fix's own error";
  // Frames agree with each other to the images' precision; the block as a whole sits where
  // the drifting fixes put it, turned by their drift.
  EXPECT_LE(after.position_after_similarity, 0.06) << "held to its fixes' white noise: 0.1 m";
  EXPECT_LE(after.rotation, 0.08);
  ::testing::Test::RecordProperty("rel_position_after_similarity_m",
                                  std::to_string(after.position_after_similarity));
  ::testing::Test::RecordProperty("rel_rotation_deg", std::to_string(after.rotation));
}

TEST(RefinementSafeguards, ImagesHoldTheBlocksShapeAgainstDriftingFixesAndNoisyAttitudes) {
  VMTEST_PLAIN_BUILD_ONLY();
  // A receiver's offset wandering a metre from fix to fix and attitudes 2 degrees off, both
  // as stated: over level ground, a frame moved aside and tilted to match sees nearly the same
  // picture, so records weighed beyond what the images measure bend the strips after them.
  Survey s = noisySurvey(0.3, 2.0, 0.0, 0.6, 8, FeatureDetector::kSift);
  s.sigmas.gps = 2.5;
  flight::ExampleFlight f = makeFlight(s);
  addGpsBias(f, {2.0, 1.4, 1.0});
  const SurveyRun run = runFlight(f, s.sigmas, s.refinement, VM_RENDER_CACHE);
  const Errors after = poseErrors(run.flight, run.refined);
  EXPECT_LE(after.position_after_similarity, 0.055);
  EXPECT_LE(after.rotation, 0.05);
  ::testing::Test::RecordProperty("rel_position_after_similarity_m",
                                  std::to_string(after.position_after_similarity));
  ::testing::Test::RecordProperty("rel_rotation_deg", std::to_string(after.rotation));
}

// The second frame of the return strip: the frames on either side tell its course, and
// those before it fly the other way.
size_t secondFrameBack(const flight::ExampleFlight& f) {
  const double out_course = f.plan.frames.front().course * M_PI / 180.0;
  size_t back = 1;
  while (back < f.plan.frames.size() &&
         std::cos(f.plan.frames[back].course * M_PI / 180.0 - out_course) > 0.0)
    ++back;
  EXPECT_LT(back + 2, f.plan.frames.size()) << "a return strip";
  return back + 1;
}

TEST(RefinementSafeguards, AFrameTheImagesCannotPlaceTakesItsNeighboursTurnFromItsRecord) {
  VMTEST_PLAIN_BUILD_ONLY();
  // Every recorded heading 12 degrees off (the crab angle): the frames around a grey one show
  // it, and the grey one is turned as they are.
  Survey s = noisySurvey(1.0, 0.5, 0.0);
  s.yaw_offset = 12.0;
  const flight::ExampleFlight f = makeFlight(s);
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  std::vector<Input> inputs;
  for (size_t i = 0; i < views.size(); ++i) inputs.push_back({i, views[i].image});
  const size_t grey = 2;
  inputs[grey].image = cv::Mat(views[grey].image.size(), CV_8UC3, cv::Scalar::all(128));
  const Frames located = locateInputs(f, inputs, {}, -1, s.sigmas);
  const double off = angleOf(truePose(f, grey).world_from_camera.t() *
                             locatedPose(*located[grey]).world_from_camera);
  EXPECT_LE(off, 2.0) << "not the recorded heading, 12 degrees off";
  ::testing::Test::RecordProperty("grey_frame_attitude_error_deg", std::to_string(off));

  // A crab angle flips with the course: +12 degrees out, -12 back. A grey frame early in the
  // return strip has neighbours of both strips, whose turns partly cancel; the block's offset
  // by course tells its own.
  s.yaw_offset = 0.0;
  flight::ExampleFlight crabbed = makeFlight(s);
  const double out_course = crabbed.plan.frames.front().course * M_PI / 180.0;
  for (flight::PlannedFrame& p : crabbed.plan.frames)
    p.recorded_attitude[1] += 12.0 * std::cos(p.course * M_PI / 180.0 - out_course);
  const size_t back = secondFrameBack(crabbed);
  inputs.assign({});
  for (size_t i = 0; i < views.size(); ++i) inputs.push_back({i, views[i].image});
  inputs[back].image = cv::Mat(views[back].image.size(), CV_8UC3, cv::Scalar::all(128));
  testing::CapturedLog log;
  const Frames turned = locateInputs(crabbed, inputs, {}, -1, s.sigmas);
  const double crab_off = angleOf(truePose(crabbed, back).world_from_camera.t() *
                                  locatedPose(*turned[back]).world_from_camera);
  EXPECT_LE(crab_off, 2.0) << "not the mean of the strips' crab, 12 degrees off";
  // The headings, off by the crab for their course, then hold to record and crab rather than
  // loosely: frames the images tie weakly (a turn's) cannot swing about the vertical.
  EXPECT_EQ(log.count(fw::kLogInfo,
                      {"off by the crab the flight shows for their course", "they hold to it"}),
            1);
}

TEST(RefinementSafeguards, AFrameTheImagesCannotPlaceTrailsItsFixAlongItsOwnCourse) {
  VMTEST_PLAIN_BUILD_ONLY();
  // Fixes 4 m behind the exposures. A grey frame early in the return strip has neighbours
  // flying both ways, whose fixes trail theirs in opposite directions: it takes the lever
  // the block shows along its own course, and their drift.
  Survey s = noisySurvey(0.1, 0.5, 0.0);
  s.sigmas.gps = 1.0;
  flight::ExampleFlight f = makeFlight(s);
  addGpsBias(f, {4.0, 0.0, 0.0});
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  const size_t back = secondFrameBack(f);
  std::vector<Input> inputs;
  for (size_t i = 0; i < views.size(); ++i) inputs.push_back({i, views[i].image});
  inputs[back].image = cv::Mat(views[back].image.size(), CV_8UC3, cv::Scalar::all(128));
  const Frames located = locateInputs(f, inputs, {}, -1, s.sigmas);
  const double off = cv::norm(locatedPose(*located[back]).centre - truePose(f, back).centre);
  EXPECT_LE(off, 1.0) << "not the neighbours' mean lever, most of 4 m off its own";
  ::testing::Test::RecordProperty("grey_frame_position_error_m", std::to_string(off));
}

TEST(RefinementSafeguards, AFramePlacedGrosslyWrongDoesNotBendItsNeighboursOrTheCamera) {
  VMTEST_PLAIN_BUILD_ONLY();
  // A frame of the return strip comes with the image of the frame beside it on the way out:
  // its images put it onto that frame, a strip's width from its fix. Set aside, it pulls
  // neither the frames around it nor the focal length, 3% off in the calibration.
  Survey s = noisySurvey(1.0, 1.0, 0.03, 0.75, 6);
  const flight::ExampleFlight f = makeFlight(s);
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  std::vector<Input> inputs;
  for (size_t i = 0; i < views.size(); ++i) inputs.push_back({i, views[i].image});
  const Frames clean = locateInputs(f, inputs, {}, -1, s.sigmas);
  const size_t wrong = 8, beside = 3;  // the strips fly 0-5 out and 6-11 back
  inputs[wrong].image = views[beside].image;
  testing::CapturedLog log;
  const Frames located = locateInputs(f, inputs, {}, -1, s.sigmas);
  EXPECT_EQ(log.count(fw::kLogInfo, {"/data/frame_8.jpg", "is placed from"}), 1)
      << "it is not refined";
  EXPECT_EQ(log.count(fw::kLogInfo, {"/data/frame_3.jpg"}), 0) << "the frame it lies on is";
  const auto attitudeError = [&](const Frames& frames, size_t i) {
    return angleOf(truePose(f, i).world_from_camera.t() *
                   locatedPose(*frames[i]).world_from_camera);
  };
  const auto centreError = [&](const Frames& frames, size_t i) {
    return cv::norm(truePose(f, i).centre - locatedPose(*frames[i]).centre);
  };
  for (size_t i : {wrong - 2, wrong - 1, wrong + 1, wrong + 2, beside}) {
    EXPECT_LE(attitudeError(located, i), attitudeError(clean, i) + 0.1) << "frame " << i;
    EXPECT_LE(centreError(located, i), centreError(clean, i) + 0.3) << "frame " << i;
  }
  const double fx = f.plan.options.camera.fx;
  EXPECT_NEAR(focalOf(located) / fx, focalOf(clean) / fx, 0.002);
}

TEST(RefinementSafeguards, ALensDistortionTheFrameListDoesNotStateIsFound) {
  VMTEST_PLAIN_BUILD_ONLY();
  // k1 -0.03 moves the corners of these frames by 9 pixels; the calibration says none.
  Survey s = noisySurvey(1.0, 1.5, 0.0, 0.75, 6);
  const SurveyRun run = runDistortedFlight(makeFlight(s), s.sigmas, -0.03, VM_RENDER_CACHE);
  const std::vector<double> k = run.refined.back()->getCamera(0).getParameters();
  EXPECT_NEAR(k[6], -0.03, 0.005);
  for (const auto& frame : run.refined)
    EXPECT_EQ(frame->getCamera(0).getParameters(), k) << "every frame carries the lens found";
  const Errors after = poseErrors(run.flight, run.refined);
  EXPECT_LE(after.position_after_similarity, 0.1);
  EXPECT_LE(after.rotation, 0.1);
  ::testing::Test::RecordProperty("k1", std::to_string(k[6]));
  ::testing::Test::RecordProperty("k2", std::to_string(k[7]));
  ::testing::Test::RecordProperty("rel_position_after_similarity_m",
                                  std::to_string(after.position_after_similarity));
  ::testing::Test::RecordProperty("rel_rotation_deg", std::to_string(after.rotation));
}

}  // namespace
}  // namespace sfm
