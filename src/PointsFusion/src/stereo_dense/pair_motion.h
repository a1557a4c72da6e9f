#pragma once

// The relative motion of a stereo pair as the two images tell it. Rectification needs the
// rotation between the views to a small fraction of a degree: a frame that kept its direct
// pose (GPS, autopilot attitude, heading written as the course) is off by degrees, which
// shears the rectified rows by tens of pixels and leaves the matcher nothing to find. Matched
// features of the two images give the rotation and the direction of the baseline; the poses
// still give the baseline's length.

#include <opencv2/core.hpp>

#include <vector>

namespace pair_motion {

// Matches that must agree with one motion before it is trusted.
inline constexpr int kMinInliers = 40;
// A motion whose matches lie further than this (working pixels, median) from their epipolar
// lines shears the rectified rows beyond what the matcher's window absorbs.
inline constexpr double kMaxEpipolarError = 0.75;
// Features sought per image, and the working width they are sought at.
inline constexpr int kFeatures = 2000;
inline constexpr int kMatchWidth = 1000;
// Beyond these the images' motion is no correction of the poses' but another solution (the
// twin of a flat scene, a repetitive pattern matched one period off).
inline constexpr double kMaxRotationChangeDegrees = 30.0;
inline constexpr double kMaxDirectionChangeDegrees = 45.0;

// Corresponding points of two views in normalised, undistorted camera coordinates.
struct Correspondences {
  std::vector<cv::Point2d> first, second;
};

// An image's features for matching: ORB descriptors, one row per point, and the points in
// normalised, undistorted camera coordinates.
struct ViewFeatures {
  std::vector<cv::Point2d> points;
  cv::Mat descriptors;
};

// Features of an image (8-bit, any of grey, colour or colour with alpha; sought at most
// kMatchWidth pixels wide), undistorted by the camera matrix and distortion coefficients of
// the image as given. None for other images. Deterministic: the same image gives the same
// features, so a frame's may be computed once for all its pairs.
ViewFeatures featuresOf(const cv::Mat& image, const cv::Mat& K, const cv::Mat& D);

// The features of two views matched both ways with a ratio test: each kept match is the
// other's clearly best.
Correspondences matchFeatures(const ViewFeatures& first, const ViewFeatures& second);

// The features of two images (featuresOf) matched (matchFeatures).
Correspondences matchViews(const cv::Mat& image1, const cv::Mat& K1, const cv::Mat& D1,
                           const cv::Mat& image2, const cv::Mat& K2, const cv::Mat& D2);

// Median distance of the correspondences from their epipolar lines under the motion
// x2 = R x1 + t, in pixels of focal length `focal` (the larger of the two lines' distances
// per match); infinity without correspondences or without a baseline.
double epipolarError(const Correspondences& matches, const cv::Matx33d& R, const cv::Vec3d& t,
                     double focal);

// Whether the motion x2 = R x1 + t fits correspondences it was adjusted to (the front end's
// tracks of two refined frames): at least kMinInliers of them, lying a median of at most
// kMaxEpipolarError pixels of focal length `focal` from their epipolar lines. Such poses
// need no correction from the images.
bool fitsTracks(const Correspondences& tracks, const cv::Matx33d& R, const cv::Vec3d& t,
                double focal);

struct Motion {
  cv::Matx33d R = cv::Matx33d::eye();
  cv::Vec3d t{0, 0, 0};  // unit length
  Correspondences inliers;
};

// The motions x2 = R x1 + t (t of unit length) that at least kMinInliers of the
// correspondences agree on within a pixel or two of focal length `focal`: the five-point
// solution and those of the ground plane's homography. Each comes with the matches that
// agree with it. Empty with too few matches.
std::vector<Motion> motionsOf(const Correspondences& matches, double focal);

// The motion to rectify with, given the poses' (R, t; t of any length, kept): the poses'
// when the images agree with it or tell nothing better; otherwise, of the images' motions
// within kMaxRotationChangeDegrees and kMaxDirectionChangeDegrees of the poses', the
// rotation and baseline direction of the one its matches fit best. `corrected` says which; `before`
// and `after` (when given) the median epipolar error of the images' matches under the poses' motion
// and under the one returned.
void correct(const Correspondences& matches, double focal, cv::Matx33d& R, cv::Vec3d& t,
             bool& corrected, double* before = nullptr, double* after = nullptr);

}  // namespace pair_motion
