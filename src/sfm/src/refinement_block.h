#pragma once

#include "camera_intrinsics.h"
#include "frame_features.h"
#include "pair_geometry.h"

#include <Eigen/Core>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

// The frames, cameras and feature tracks the refinement works on. Coordinates are metres in
// a local east-north-up frame at the run's first position, so that the solver never sees
// earth-centred magnitudes.
namespace sfm {

struct BlockFrame {
  uint64_t id = 0;
  int camera = 0;                // index into RefinementBlock::cameras
  std::array<double, 6> pose{};  // angle-axis of camera_from_local, then the centre
  Eigen::Vector3d gps = Eigen::Vector3d::Zero();  // recorded position, local
  // East, north, up metres the fix is held to: the stated sigmas, or less when the fixes
  // scatter less about their track.
  Eigen::Vector3d gps_sigma = Eigen::Vector3d::Ones();
  Eigen::Vector3d stated_gps_sigma = Eigen::Vector3d::Ones();
  // East and north unit direction of travel by the fixes around it (zero while unknown: a
  // hover, a lone frame), and the fix's slow wander, local metres, estimated with the pose.
  Eigen::Vector2d track = Eigen::Vector2d::Zero();
  std::array<double, 3> gps_drift{};
  double ground = 0.0;  // local up of the ground below, from the height above take-off
  std::array<double, 3> attitude_prior{};  // angle-axis of camera_from_local from the direct pose
  double tilt_sigma = 0.0;                 // radians, of the prior's pitch and roll; 0: none
  double yaw_sigma = 0.0;                  // radians, of its heading as the adjustment holds it
  double recorded_yaw_sigma = 0.0;         // radians, as recorded; 0 without attitude
  // Radians about up the heading is held off its record by: the crab the flight shows for
  // the frame's course, where the records write the course as the heading.
  double heading_offset = 0.0;
  FrameFeatures features;
  // The camera values (CameraIntrinsics::refined) the features' normalised points were
  // taken with.
  std::array<double, CameraIntrinsics::kRefined> normalised_with{};
  std::vector<int> track_of;  // per feature, -1 when in no track
  bool placed = false;        // pose estimated from the images
  bool refined = false;       // pose adjusted with enough map points
  bool fixed = false;         // delivered: held as it was sent

  Eigen::Matrix3d cameraFromLocal() const;
  Eigen::Matrix3d directCameraFromLocal() const;  // from the recorded attitude
  Eigen::Vector3d centre() const { return {pose[3], pose[4], pose[5]}; }
  // Metres the fix's slow wander may reach on each axis: what its stated sigma leaves beyond
  // the white scatter it is held to (a millimetre where it leaves nothing).
  Eigen::Vector3d driftSigma() const {
    return (stated_gps_sigma.array().square() - gps_sigma.array().square())
        .max(1e-6)
        .sqrt()
        .matrix();
  }
  // Where the fix of a camera at `centre` lies: trailing it by the lever's first value along
  // the track, its second to the right of it, and off by the drift.
  template <typename T>
  static void fixOf(const T* centre, const T* lever, const T* drift, const Eigen::Vector2d& track,
                    T* fix) {
    fix[0] = centre[0] - lever[0] * T(track.x()) + lever[1] * T(track.y()) + drift[0];
    fix[1] = centre[1] - lever[0] * T(track.y()) - lever[1] * T(track.x()) + drift[1];
    fix[2] = centre[2] + drift[2];
  }
  // The same for the frame's pose and drift.
  Eigen::Vector3d expectedFix(const std::array<double, 2>& lever) const;
  void setPose(const Eigen::Matrix3d& camera_from_local, const Eigen::Vector3d& centre);
};

struct Track {
  std::map<uint64_t, int> observations;  // frame id -> feature index
  Eigen::Vector3d point = Eigen::Vector3d::Zero();
  bool triangulated = false;
  uint64_t map_point_id = 0;  // given when a frame seeing it is sent; 0 before
};

struct RefinementBlock {
  std::map<uint64_t, BlockFrame> frames;
  // By id, looked up for every feature of every frame adjusted: hashed, as nothing walks them
  // in order. Elements stay where they are while others come and go (the solver holds
  // pointers to their points).
  std::unordered_map<int, Track> tracks;
  std::vector<CameraIntrinsics> cameras;
  int next_track = 0;
  // Metres the fixes trail the exposures along the track and lie to its right (BlockFrame::fixOf).
  std::array<double, 2> gps_lever{};
  // Pixels of the features: how far observations scatter about their points, measured by each
  // solve for the next. Reprojection errors weigh by it against the records' sigmas, so that
  // the images hold the block's shape and the fixes and attitudes only what the images cannot
  // tell. It is in pixels of the features, not of the image, so that a flight weighs its
  // images alike at any image size. Never finer than kFinestPixelSigma: matches also carry
  // errors that do not average away over a frame's points (a lens the model fits only nearly,
  // texture sampled off a feature's centre), and the scatter about points fitted to them
  // does not show those. Never coarser than kCoarsestPixelSigma: farther off, observations
  // are mismatches, not noise.
  static constexpr double kFinestPixelSigma = 0.3;
  static constexpr double kCoarsestPixelSigma = 1.0;
  double pixel_sigma = kFinestPixelSigma;

  // Links the verified matches of frames a and b into tracks; a track never holds two
  // features of one frame.
  void addMatches(uint64_t a, uint64_t b, const std::vector<std::pair<int, int>>& matches);
  // Takes the normalised points of a frame's features again with its camera as now refined,
  // where it moved since they were taken: the pairs and search windows read them and must
  // agree with the rays the adjustment and triangulation take from the pixels (a focal
  // length a few percent off turns the motion of a banked turn's pair out of the block's).
  void normaliseFeatures(BlockFrame& frame) const;
  // Forgets a frame and its observations; tracks left with fewer than two go.
  void dropFrame(uint64_t id);
  void dropObservation(int track, uint64_t frame);
  // Places a track's point from its placed frames: false (and untriangulated) when the rays
  // meet at less than `min_angle` degrees, behind a camera or off by more than `max_error`
  // pixels of the features (`featureError`).
  bool triangulate(int track, double min_angle, double max_error);
  // Reprojection error in pixels of a track's point in one frame; infinity behind it.
  double reprojectionError(const Track& track, const BlockFrame& frame, int feature) const;
  // The same in pixels of the reduced copy the features were found in, the scale of their
  // precision.
  double featureError(const Track& track, const BlockFrame& frame, int feature) const {
    return reprojectionError(track, frame, feature) * frame.features.scale;
  }
  // The same for a point and the frame's turn (camera_from_local) taken beforehand.
  double errorAt(const Eigen::Vector3d& point, const BlockFrame& frame,
                 const Eigen::Matrix3d& camera_from_local, int feature) const;
  // Where the features of `from` lie in the pixels of `to` by the two frames' recorded poses,
  // their rays met with the level ground below them; not finite where a ray misses it or
  // the place is behind `to`.
  std::vector<cv::Point2f> expectedIn(const BlockFrame& from, const BlockFrame& to) const;
};

}  // namespace sfm
