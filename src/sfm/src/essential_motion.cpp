#include "essential_motion.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/core/eigen.hpp>

#include <cmath>
#include <stdexcept>

namespace sfm {
namespace {

// Whether the match's rays, a's through xa from its centre and b's through xb from its own,
// meet (nearest approach) in front of both cameras within kFarthestDepth baselines.
bool inFront(const Eigen::Matrix3d& b_from_a, const Eigen::Vector3d& t, const Eigen::Vector3d& xa,
             const Eigen::Vector3d& xb) {
  // In b's frame: da * u + t = db * v, u = b_from_a * xa, v = xb; least squares in da, db.
  // Both rays have a third coordinate of one, so da and db are the depths in a and in b.
  const Eigen::Vector3d u = b_from_a * xa;
  const double uu = u.dot(u), uv = u.dot(xb), vv = xb.dot(xb);
  const double ut = u.dot(t), vt = xb.dot(t);
  const double det = uu * vv - uv * uv;
  if (!(det > 0.0)) return false;  // parallel rays: no depth to tell
  const double da = (uv * vt - ut * vv) / det;
  const double db = (uu * vt - uv * ut) / det;
  return da > 0.0 && da < kFarthestDepth && db > 0.0 && db < kFarthestDepth;
}

}  // namespace

EssentialMotion motionInFront(const cv::Mat& e, const std::vector<cv::Point2d>& pa,
                              const std::vector<cv::Point2d>& pb) {
  if (e.rows != 3 || e.cols != 3 || e.type() != CV_64F || pa.size() != pb.size())
    throw std::invalid_argument("an essential matrix that is not 3 x 3, or unpaired matches");
  cv::Mat r1, r2, t;
  cv::decomposeEssentialMat(e, r1, r2, t);
  Eigen::Matrix3d turns[2];
  Eigen::Vector3d baseline;
  cv::cv2eigen(r1, turns[0]);
  cv::cv2eigen(r2, turns[1]);
  cv::cv2eigen(t, baseline);
  // Two buffers of marks: the best motion's and the one being counted, traded on a win.
  EssentialMotion best;
  best.count = -1;
  std::vector<char> front(pa.size());
  for (int k = 0; k < 4; ++k) {
    const Eigen::Matrix3d& turn = turns[k % 2];
    const Eigen::Vector3d way = k < 2 ? baseline : Eigen::Vector3d(-baseline);
    int count = 0;
    for (size_t i = 0; i < pa.size(); ++i) {
      front[i] = inFront(turn, way, Eigen::Vector3d(pa[i].x, pa[i].y, 1.0),
                         Eigen::Vector3d(pb[i].x, pb[i].y, 1.0));
      count += front[i];
    }
    if (count <= best.count) continue;
    best.b_from_a = turn;
    best.t = way;
    best.count = count;
    best.in_front.swap(front);
    front.resize(pa.size());
  }
  return best;
}

}  // namespace sfm
