#pragma once

#include <opencv2/core.hpp>

#include <Eigen/Core>

#include <cstdint>
#include <vector>

namespace sfm {

// How the search for the essential matrix the most matches fit runs.
struct EssentialSearch {
  double threshold = 1e-3;    // normalised units: Sampson distance of an inlier
  double confidence = 0.999;  // of having drawn one sample of inliers only, to stop early
  int max_samples = 250;      // enough when half the matches are wrong
  uint64_t seed = 0x5eed;     // the samples depend on the matches alone
};

struct EssentialFit {
  cv::Mat e;     // 3 x 3, double; empty when no sample gave a model
  cv::Mat mask;  // per match, CV_8U: 1 for the inliers of e
  int inliers = 0;
};

// Whether the match of xa in a and xb in b (normalised image coordinates, third coordinate
// one) lies within the threshold of e's epipolar lines by its Sampson distance, given squared.
// A match at which e gives no line in either image fits no model: it tells nothing.
inline bool withinSampson(const Eigen::Matrix3d& e, const Eigen::Vector3d& xa,
                          const Eigen::Vector3d& xb, double squared_threshold) {
  const Eigen::Vector3d ea = e * xa, eb = e.transpose() * xb;
  const double residual = xb.dot(ea);
  const double norm = ea.head<2>().squaredNorm() + eb.head<2>().squaredNorm();
  return norm > 0.0 && residual * residual <= squared_threshold * norm;
}

// The essential matrix, of those five random matches at a time fit exactly, that the most
// matches (`pa` in a, `pb` in b, normalised coordinates) fit within the threshold, by their
// squared Sampson distance; the number of samples shrinks as the share of inliers found
// grows, to what the confidence asks. A later model replaces the best only with more
// inliers. The samples come from a generator seeded alike for every call, so the same
// matches give the same fit on any thread.
EssentialFit fitEssential(const std::vector<cv::Point2d>& pa, const std::vector<cv::Point2d>& pb,
                          const EssentialSearch& search);

// The samples a search needs to have drawn, at `confidence`, one of `sample_size` inliers
// when `inlier_share` of the matches are inliers, at most `most`.
int samplesNeeded(double confidence, double inlier_share, int sample_size, int most);

}  // namespace sfm
