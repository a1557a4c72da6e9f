#include "pose_gate.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <cstring>

namespace sfm {
namespace {

// A frame looking down at `centre`, recorded at `gps` with the frame list's default sigmas.
BlockFrame frameAt(uint64_t id, const Eigen::Vector3d& centre, const Eigen::Vector3d& gps) {
  BlockFrame f;
  f.id = id;
  f.gps = gps;
  f.gps_sigma = f.stated_gps_sigma = {5.0, 10.0, 5.0};
  f.setPose(Eigen::Vector3d(1.0, -1.0, -1.0).asDiagonal(), centre);
  return f;
}

Eigen::Matrix3d lookingDown() { return Eigen::Vector3d(1.0, -1.0, -1.0).asDiagonal(); }

TEST(PoseGate, AFrameStaysWithinAFewSigmasOfItsFixOnEveryAxis) {
  const RefinementOptions options;
  EXPECT_TRUE(
      gatePose(frameAt(1, {0, 0, 100}, {0, 0, 100}), lookingDown(), {}, options).accepted());
  // 25 m north is 2.5 of the 10 m latitude sigma; 25 m east is 5 of the 5 m one.
  EXPECT_TRUE(
      gatePose(frameAt(1, {0, 25, 100}, {0, 0, 100}), lookingDown(), {}, options).accepted());
  const GateVerdict east =
      gatePose(frameAt(1, {25, 0, 100}, {0, 0, 100}), lookingDown(), {}, options);
  EXPECT_STREQ(east.failure, kBeyondGpsReach);
  EXPECT_NE(east.detail.find("25 m"), std::string::npos) << east.detail;
  // The moves of 300-600 m an earlier gate of 60 sigmas let through.
  EXPECT_STREQ(gatePose(frameAt(1, {0, 450, 60}, {0, 0, 100}), lookingDown(), {}, options).failure,
               kBeyondGpsReach);
  const BlockFrame lost = frameAt(1, {NAN, 0, 100}, {0, 0, 100});
  EXPECT_STREQ(gatePose(lost, lookingDown(), {}, options).failure, kBeyondGpsReach);

  // Fixes that scatter as much as stated leave the drift next to no reach: the few
  // centimetres the adjustment gives it are no reason to refuse a frame 1.5 m off its fix.
  BlockFrame scattered = frameAt(1, {1.5, 0, 100}, {0, 0, 100});
  scattered.gps_sigma = scattered.stated_gps_sigma = {1.5, 1.5, 1.5};
  scattered.gps_drift = {0.2, 0.0, 0.0};
  EXPECT_TRUE(gatePose(scattered, lookingDown(), {}, options).accepted());
  // Where the drift reaches far, a frame the drift carries 4 m off its fix stays; 8 m is
  // beyond three stated sigmas, however the error splits into drift and white noise.
  BlockFrame drifting = frameAt(1, {4.0, 0, 100}, {0, 0, 100});
  drifting.stated_gps_sigma = {2.5, 2.5, 2.5};
  drifting.gps_sigma = {0.5, 0.5, 0.5};
  drifting.gps_drift = {-4.0, 0.0, 0.0};
  EXPECT_TRUE(gatePose(drifting, lookingDown(), {}, options).accepted());
  drifting.setPose(lookingDown(), {8.0, 0, 100});
  drifting.gps_drift = {-8.0, 0.0, 0.0};
  EXPECT_STREQ(gatePose(drifting, lookingDown(), {}, options).failure, kBeyondGpsReach);
}

TEST(PoseGate, AFrameTurnedFarFromItsAttitudeIsNotTrusted) {
  const RefinementOptions options;
  BlockFrame f = frameAt(1, {0, 0, 100}, {0, 0, 100});
  f.recorded_yaw_sigma = 5.0 * M_PI / 180.0;
  const Eigen::Matrix3d yawed =
      lookingDown() * Eigen::AngleAxisd(40.0 * M_PI / 180.0, Eigen::Vector3d::UnitZ()).matrix();
  f.setPose(yawed, f.centre());
  f.tilt_sigma = 2.0 * M_PI / 180.0;
  EXPECT_TRUE(gatePose(f, lookingDown(), {}, options).accepted()) << "a heading off by the crab";
  const Eigen::Matrix3d rolled =
      lookingDown() * Eigen::AngleAxisd(7.0 * M_PI / 180.0, Eigen::Vector3d::UnitZ()).matrix() *
      Eigen::AngleAxisd(9.0 * M_PI / 180.0, Eigen::Vector3d::UnitY()).matrix();
  f.setPose(rolled, f.centre());
  EXPECT_STREQ(gatePose(f, lookingDown(), {}, options).failure, kTiltedTooFar)
      << "9 degrees of roll is beyond four sigmas of 2 degrees";
  f.tilt_sigma = 5.0 * M_PI / 180.0;
  EXPECT_TRUE(gatePose(f, lookingDown(), {}, options).accepted());
  // Pitch and roll each 7 degrees off, within four sigmas of 2 degrees apiece: 10 degrees
  // together.
  f.tilt_sigma = 2.0 * M_PI / 180.0;
  const Eigen::Matrix3d both = Eigen::AngleAxisd(7.0 * M_PI / 180.0, Eigen::Vector3d::UnitX()) *
                               Eigen::AngleAxisd(7.0 * M_PI / 180.0, Eigen::Vector3d::UnitY()) *
                               lookingDown();
  f.setPose(both, f.centre());
  EXPECT_TRUE(gatePose(f, lookingDown(), {}, options).accepted());
  f.tilt_sigma = 5.0 * M_PI / 180.0;
  const Eigen::Matrix3d upside =
      lookingDown() * Eigen::AngleAxisd(90.0 * M_PI / 180.0, Eigen::Vector3d::UnitX()).matrix();
  f.setPose(upside, f.centre());
  EXPECT_STREQ(gatePose(f, lookingDown(), {}, options).failure, kTurnedTooFar);
  // A heading 80 degrees off the recorded one is not trusted; without attitude the prior is
  // a guess along the track, which at a turn points sideways, and the images may set it.
  const Eigen::Matrix3d sideways =
      lookingDown() * Eigen::AngleAxisd(80.0 * M_PI / 180.0, Eigen::Vector3d::UnitZ()).matrix();
  f.setPose(sideways, f.centre());
  EXPECT_STREQ(gatePose(f, lookingDown(), {}, options).failure, kTurnedTooFar);
  f.recorded_yaw_sigma = 0.0;
  f.tilt_sigma = options.untold_tilt_sigma * M_PI / 180.0;
  EXPECT_TRUE(gatePose(f, lookingDown(), {}, options).accepted());
}

TEST(PoseGate, FramesCollapsedOntoOneAnotherAreRejected) {
  const RefinementOptions options;
  // Fixes 32 m apart, both within their sigmas, placed 0.03 mm apart.
  const BlockFrame a = frameAt(1, {0, 16.0, 100}, {0, 0, 100});
  const BlockFrame b = frameAt(2, {0, 16.00003, 100}, {0, 32, 100});
  const GateVerdict verdict = gatePose(a, lookingDown(), {&a, &b}, options);
  EXPECT_STREQ(verdict.failure, kCollapsed);
  EXPECT_STREQ(gatePose(b, lookingDown(), {&a, &b}, options).failure, kCollapsed);
  // Fixes noisy by metres: placed 20 m apart where they say 30 m is no collapse.
  const BlockFrame c = frameAt(3, {0, 20.0, 100}, {0, 30, 100});
  const BlockFrame d = frameAt(4, {0, 0.0, 100}, {0, 0, 100});
  EXPECT_TRUE(gatePose(c, lookingDown(), {&c, &d}, options).accepted());
  // Fixes in one place (a hovering camera) never call frames collapsed.
  const BlockFrame e = frameAt(5, {0, 0.0, 100}, {0, 0, 100});
  EXPECT_TRUE(gatePose(d, lookingDown(), {&d, &e}, options).accepted());
}

}  // namespace
}  // namespace sfm
