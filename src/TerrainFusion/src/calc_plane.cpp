#include "src/TerrainFusion/src/calc_plane.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kMinPlanePoints = 10;
constexpr int kSampleDraws = 100;
constexpr double kInitialCost = 1e16;

cv::Vec3d vec(const pi::Point3d& p) { return {p.x, p.y, p.z}; }

}  // namespace

bool CalcPlane(const std::vector<pi::Point3d>& points, SE3& plane, std::vector<int>& outliers,
               double threshold, std::mt19937& random) {
  const size_t n = points.size();
  if (n < size_t(kMinPlanePoints)) return false;
  std::uniform_int_distribution<size_t> pick(0, n - 1);
  double bestCost = kInitialCost;
  cv::Vec3d bestNormal, bestCentre;
  bool found = false;
  for (int draw = 0; draw < kSampleDraws; ++draw) {
    const size_t a = pick(random);
    size_t b = pick(random);
    while (b == a) b = pick(random);
    size_t c = pick(random);
    while (c == a || c == b) c = pick(random);
    const cv::Vec3d p1 = vec(points[a]), p2 = vec(points[b]), p3 = vec(points[c]);
    const cv::Vec3d centre = (p1 + p2 + p3) * (1.0 / 3.0);
    cv::Vec3d normal = (p2 - p1).cross(p3 - p1);
    const double length = cv::norm(normal);
    if (!(length > 0.0) || !std::isfinite(length)) continue;
    normal *= 1.0 / length;
    double cost = 0.0;
    for (const pi::Point3d& p : points) {
      cost += std::min(std::fabs(normal.dot(vec(p) - centre)), threshold);
    }
    if (cost < bestCost) {
      bestCost = cost;
      bestNormal = normal;
      bestCentre = centre;
      found = true;
    }
  }
  if (!found) return false;

  std::vector<int> rejected;
  cv::Vec3d mean(0, 0, 0);
  std::vector<cv::Vec3d> inliers;
  for (size_t i = 0; i < n; ++i) {
    const cv::Vec3d p = vec(points[i]);
    if (std::fabs(bestNormal.dot(p - bestCentre)) >= threshold) {
      rejected.push_back(int(i));
    } else {
      inliers.push_back(p);
      mean += p;
    }
  }
  if (inliers.size() < 3) return false;
  mean *= 1.0 / double(inliers.size());
  cv::Matx33d scatter = cv::Matx33d::zeros();
  for (const cv::Vec3d& p : inliers) {
    const cv::Vec3d d = p - mean;
    scatter += d * d.t();
  }
  cv::Mat values, vectors;
  cv::eigen(cv::Mat(scatter), values, vectors);  // descending eigenvalues, one vector per row
  cv::Vec3d normal(vectors.at<double>(2, 0), vectors.at<double>(2, 1), vectors.at<double>(2, 2));
  if (normal[2] < 0.0) normal = -normal;
  const cv::Vec3d u0 = normal.cross(cv::Vec3d(0, -1, 0));
  const double uLength = cv::norm(u0);
  if (!(uLength > 1e-12)) return false;  // a normal along y leaves no first axis
  const cv::Vec3d u = u0 * (1.0 / uLength);
  const cv::Vec3d v = normal.cross(u);
  const fw::Matrix3 rotation = {u[0], v[0], normal[0],  //
                                u[1], v[1], normal[1],  //
                                u[2], v[2], normal[2]};
  fw::Quaternion q;
  if (!fw::quaternionFromMatrix(rotation, q)) return false;
  plane = SE3(q, pi::Point3d(mean[0], mean[1], mean[2]));
  outliers = std::move(rejected);
  return true;
}
