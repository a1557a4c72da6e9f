#pragma once

#include "framework/frame_image_decoding.h"

#include <nlohmann/json.hpp>

// Settings of the refinement of the frames' poses and camera from image features.
namespace sfm {

// Which camera parameters the bundle adjustment refines (shared by all frames of a camera).
enum class IntrinsicRefinement {
  kNone,         // the calibration is kept
  kFocalLength,  // focal length only
  kAll,          // focal length, principal point and radial distortion k1, k2
};

enum class FeatureDetector {
  kOrb,   // fast corners with binary descriptors
  kSift,  // slower, placed more precisely
};

struct RefinementOptions {
  bool enabled = true;  // false: every frame keeps its direct pose
  int window_size = 6;  // frames refined together before the oldest is sent
  // Frames refined together before the first is sent (at least the window): the shared
  // camera, held from then on, is told apart from the poses better by a longer stretch of
  // the flight than by one window, best by one that reaches past a turn into the next strip.
  int first_window = 24;
  // Frames the first window may grow to while its images do not yet tell the focal length
  // (a strip over flat ground): until they reach a turn or relief that does, or this many.
  int longest_first_window = 64;
  // When the run announces how many frames it brings (a frame list), the first window takes
  // them all, up to this many (at least `longest_first_window`): adjusted as one block, the
  // whole flight's strips hold each other to their shape, where a window sliding on from the
  // first bends with the GPS's drift. The first product waits until they are located.
  int frame_list_window = 200;
  // The frames arrive while the flight goes on (the mapper sets this for a live run): the
  // first window does not wait for the frame count the run announced, so located frames
  // reach the products while the aircraft still flies.
  bool frames_arrive_live = false;
  // SIFT's blobs, placed to a fraction of a pixel, hold a block over flat ground to its shape
  // where ORB's corners let it bend with the GPS's drift.
  FeatureDetector detector = FeatureDetector::kSift;
  int max_features = 2500;  // features per frame
  // Pixels of the reduced copy features are taken from.
  int image_long_side = fw::kDefaultFeatureImageLongSide;
  double ratio = 0.8;  // nearest / second-nearest descriptor distance
  // A feature is looked for within this many sigmas of where the recorded poses of the two
  // frames put it, as far as their stated position and attitude sigmas tell (0: anywhere).
  double search_sigmas = 3.0;
  double loss_scale = 2.0;        // pixels: reprojection errors beyond this count less
  double ransac_threshold = 1.0;  // pixels: epipolar distance of essential-matrix inliers
  int min_inliers = 40;           // verified matches that connect two frames
  double min_parallax = 0.2;   // degrees left between matched rays turned alike: less is one place
  int partners = 3;            // frames of the window matched besides the previous one
  int neighbour_count = 2;     // earlier frames near in position matched besides the window
  int stored_frames = 72;      // feature sets kept for neighbour matching (besides the window's)
  int min_points = 30;         // map points a frame must see to count as refined
  int points_per_frame = 400;  // map points of each frame in the bundle adjustment
  // A refined frame stays within this many of its GPS sigmas of its fix, on every axis;
  // farther, the adjustment has pulled it off and it keeps its direct pose.
  double max_gps_sigmas = 3.0;
  // Metres: a fix is held to the scatter of the flight's fixes about their track where that
  // is less than its stated sigma (the images can correct only that part of its error), but
  // to no less than this.
  double least_gps_sigma = 0.5;
  // Metres: the prior sigma of how far the fixes trail the exposures along the track and lie
  // aside it, the same for the whole flight (a receiver's latency times the speed, an antenna
  // away from the camera). Estimated with the poses: flights with strips both ways tell it.
  double gps_lever_sigma = 5.0;
  // The fixes' slow wander from one fix to the next, as a share of how far it reaches (the
  // stated sigma beyond the white scatter the fixes are held to): an offset per frame, tied to
  // the previous frame's by this and to none by that reach. A receiver's offset that keeps
  // seven tenths of itself from one fix to the next changes by about 0.8 of its reach.
  double gps_drift_share = 0.8;
  double max_turn = 60.0;  // degrees from the direct attitude: beyond, the pose is not trusted
  // A refined frame ends at least this share of its GPS distance from every frame it is
  // matched with: two views of a run that close up onto one place are a collapsed solution.
  double min_distance_share = 0.25;
  // Degrees: the sigma of recorded headings until they are found to agree with the flight's
  // own. Autopilots often write the course over the ground as the heading, off by the crab
  // angle; the positions tell the heading better.
  double yaw_sigma = 90.0;
  // Degrees: pitch and roll sigma of frames without attitude, taken as looking straight down.
  double untold_tilt_sigma = 10.0;
  // The calibration's focal length as a prior, with this share as its sigma.
  double focal_sigma = 0.1;
  // The camera is refined only when the images move its focal length from the calibration
  // by more than this many of the focal length's standard deviations in the adjustment;
  // otherwise the flight does not tell it (a flat block seen from one height) and the
  // calibration is kept.
  double focal_significance = 2.0;
  // ... and only when the adjustment tells the focal length to this share or better.
  double focal_precision = 0.015;
  // Solver threads, and pairs of frames related at once: 1 to fw::maxThreadSetting().
  int threads = 1;
  IntrinsicRefinement intrinsics = IntrinsicRefinement::kAll;

  int firstWindow() const { return first_window > window_size ? first_window : window_size; }
  int longestFirstWindow() const {
    return longest_first_window > firstWindow() ? longest_first_window : firstWindow();
  }
  int frameListWindow() const {
    return frame_list_window > longestFirstWindow() ? frame_list_window : longestFirstWindow();
  }

  // Throws std::invalid_argument, naming the setting, for values outside their ranges.
  void check() const;
};

// Overrides from the "specific" members of the front end's configuration:
// "globalsfm.intrinsic_refinement" ("ADJUST_ALL", "ADJUST_FOCAL_LENGTH", "NONE"),
// "sfm.refine.detector" ("ORB", "SIFT") and the "sfm.refine.*" keys named after the
// members above; a key the configuration leaves out is taken from the environment variable of
// the same name. Throws std::invalid_argument, naming the key, for a value of the wrong type
// or an unknown name.
void applySpecific(const nlohmann::json& specific, RefinementOptions* options);

}  // namespace sfm
