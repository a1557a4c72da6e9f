#include "tie_resection.h"

#include <gtest/gtest.h>

#include <Eigen/Geometry>

#include <random>

namespace sfm {
namespace {

// A rolling field the block's points tell on a 6 m grid, a refined frame 100 m above it
// looking down, and a banked frame beside it that only ties to it: its features see the field
// where the refined frame's see it too, in tracks no other frame is in, so none of their
// points is triangulated. `shift` (metres east) makes its features see the field that far
// from where the refined frame's do: a furrow's repeat matched for the same place.
struct TiedScene {
  RefinementBlock block;
  Eigen::Matrix3d camera_from_local;  // the tied frame's, true
  Eigen::Vector3d centre{30.0, 8.0, 101.0};
  uint64_t tied = 2;
};

double fieldHeight(double east, double north) {
  return 1.5 * std::sin(0.03 * east) + std::cos(0.04 * north);
}

TiedScene tiedSceneWith(int ties, double shift, double corner = 1.0) {
  TiedScene s;
  s.block.cameras.push_back(CameraIntrinsics::fromCalibration(
      {1000, 750, 850.0, 850.0, 500.0, 375.0, -0.03, 0.01, 0.0, 0.0, 0.0}));
  const CameraIntrinsics& camera = s.block.cameras[0];
  const Eigen::Matrix3d down = Eigen::Vector3d(1.0, -1.0, -1.0).asDiagonal();
  BlockFrame& seer = s.block.frames[1];
  seer.id = 1;
  seer.setPose(down.transpose(), Eigen::Vector3d(0.0, 0.0, 100.0));
  seer.placed = seer.refined = true;
  seer.ground = 0.0;
  seer.features.scale = 1.0;
  s.camera_from_local = ((Eigen::AngleAxisd(0.2, Eigen::Vector3d::UnitZ()) *
                          Eigen::AngleAxisd(-0.25, Eigen::Vector3d::UnitY())) *
                         down)
                            .transpose();
  BlockFrame& tied = s.block.frames[s.tied];
  tied.id = s.tied;
  tied.features.scale = 1.0;
  tied.gps = s.centre + Eigen::Vector3d(1.5, -1.0, 0.8);  // the fix is off
  for (double east = -150.0; east <= 200.0; east += 6.0) {
    for (double north = -120.0; north <= 120.0; north += 6.0) {
      Track& point = s.block.tracks[s.block.next_track++];
      point.point = {east, north, fieldHeight(east, north)};
      point.triangulated = true;
    }
  }
  // The ties: pixels of the tied frame (within `corner` of its image from its top left),
  // their rays met with the field, seen by the refined frame as well.
  std::mt19937 random(11);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  while (static_cast<int>(tied.features.pixels.size()) < ties) {
    const double u = 40.0 + 920.0 * corner * unit(random);
    const double v = 40.0 + 670.0 * corner * unit(random);
    const auto n = camera.unproject(u, v);
    const Eigen::Vector3d ray = s.camera_from_local.transpose() * Eigen::Vector3d(n[0], n[1], 1.0);
    double depth = (0.0 - s.centre.z()) / ray.z();
    for (int round = 0; round < 20; ++round) {
      const Eigen::Vector3d at = s.centre + depth * ray;
      depth = (fieldHeight(at.x(), at.y()) - s.centre.z()) / ray.z();
    }
    const Eigen::Vector3d in_seer_camera =
        seer.cameraFromLocal() *
        (s.centre + depth * ray - Eigen::Vector3d(shift, 0.0, 0.0) - seer.centre());
    Eigen::Vector2d in_seer;
    projectToPixel(camera.refined.data(), camera, in_seer_camera.data(), in_seer.data());
    if (in_seer.x() < 0.0 || in_seer.x() > 1000.0 || in_seer.y() < 0.0 || in_seer.y() > 750.0)
      continue;
    const int feature = static_cast<int>(tied.features.pixels.size());
    Track& track = s.block.tracks[s.block.next_track];
    track.observations = {{seer.id, feature}, {tied.id, feature}};
    tied.features.pixels.emplace_back(static_cast<float>(u), static_cast<float>(v));
    tied.track_of.push_back(s.block.next_track++);
    seer.features.pixels.emplace_back(static_cast<float>(in_seer.x()),
                                      static_cast<float>(in_seer.y()));
  }
  tied.setPose(down.transpose(), tied.gps);  // not placed: where its records put it
  return s;
}

double turnDegrees(const Eigen::Matrix3d& a, const Eigen::Matrix3d& b) {
  return Eigen::AngleAxisd(a * b.transpose()).angle() * 180.0 / M_PI;
}

// The tied frame placed, held to its fix as loosely as a fix is stated and expected turned
// 5 degrees off the truth, as a turn's records are.
bool placeTied(const TiedScene& s, double max_turn_degrees, Resection* r) {
  const BlockFrame& tied = s.block.frames.at(s.tied);
  const HeldCentre held{tied.gps, Eigen::Vector3d(2.0, 2.0, 1.5)};
  const Eigen::Matrix3d expected =
      Eigen::AngleAxisd(5.0 * M_PI / 180.0, Eigen::Vector3d::UnitZ()) * s.camera_from_local;
  TieLimits limits;
  limits.max_turn = max_turn_degrees * M_PI / 180.0;
  std::string account;
  return resectFromTies(s.block, tied, held, expected, limits, r, &account);
}

TEST(TieResection, AFrameTiedOnlyToARefinedOneIsPlacedFromTheGroundItsRaysMeet) {
  TiedScene s = tiedSceneWith(40, 0.0);
  SeenPoints ground;
  groundTies(s.block, s.block.frames.at(s.tied), &ground);
  ASSERT_EQ(ground.points.size(), 40u);
  for (size_t k = 0; k < ground.points.size(); ++k) {
    const Eigen::Vector3d& p = ground.points[k];
    EXPECT_NEAR(p.z(), fieldHeight(p.x(), p.y()), 0.3) << "the surface the grid tells";
    EXPECT_LE(ground.along[k].norm(), 1.0) << "the grid's heights scatter little";
  }
  Resection r;
  ASSERT_TRUE(placeTied(s, 10.0, &r));
  EXPECT_LE((r.centre - s.centre).norm(), 0.25) << "not the fix, 1.9 m off";
  EXPECT_LE(turnDegrees(r.camera_from_local, s.camera_from_local), 0.2);
  EXPECT_GE(r.inliers, 36);
  // Turned from the expected attitude more than its records allow, it is refused.
  EXPECT_FALSE(placeTied(s, 3.0, &r));

  // Where the block's points are too few to tell the ground, the ties tell nothing.
  for (auto& [id, track] : s.block.tracks) track.triangulated = false;
  groundTies(s.block, s.block.frames.at(s.tied), &ground);
  EXPECT_TRUE(ground.points.empty());
  EXPECT_FALSE(placeTied(s, 10.0, &r));
}

TEST(TieResection, TiesThatDoNotFirmlyTellThePoseAreRefused) {
  Resection r;
  // A furrow's repeat, 9 m over: the ties agree on a pose, but one beyond the fix's reach.
  EXPECT_FALSE(placeTied(tiedSceneWith(40, 9.0), 10.0, &r));
  // Ties in a corner of the image tell a turn, hardly a shift.
  EXPECT_FALSE(placeTied(tiedSceneWith(40, 0.0, 0.2), 10.0, &r));
  EXPECT_FALSE(placeTied(tiedSceneWith(12, 0.0), 10.0, &r)) << "too few";
}

}  // namespace
}  // namespace sfm
