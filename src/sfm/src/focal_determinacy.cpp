#include "focal_determinacy.h"

#include <ceres/crs_matrix.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

namespace sfm {

double focalStandardDeviation(ceres::Problem& problem, const std::vector<double*>& reduced,
                              double pixel_sigma, int threads) {
  const double infinite = std::numeric_limits<double>::infinity();
  if (reduced.empty() || !(pixel_sigma > 0.0)) return infinite;
  ceres::Problem::EvaluateOptions evaluate;
  evaluate.parameter_blocks = reduced;
  int m = 0;  // columns of the reduced system: the camera's tangent, then the poses
  for (double* block : reduced) m += problem.ParameterBlockTangentSize(block);
  const std::set<double*> in_reduced(reduced.begin(), reduced.end());
  std::vector<double*> all;
  problem.GetParameterBlocks(&all);
  int points = 0;
  for (double* block : all) {
    if (in_reduced.count(block) || problem.IsParameterBlockConstant(block)) continue;
    if (problem.ParameterBlockTangentSize(block) != 3) return infinite;
    evaluate.parameter_blocks.push_back(block);
    ++points;
  }
  evaluate.num_threads = threads;
  ceres::CRSMatrix jacobian;
  if (!problem.Evaluate(evaluate, nullptr, nullptr, nullptr, &jacobian)) return infinite;

  // Rows by the point they see (every reprojection row sees exactly one); prior rows see none.
  std::vector<std::vector<int>> rows_of(points);
  Eigen::MatrixXd s = Eigen::MatrixXd::Zero(m, m);
  const double weight = 1.0 / (pixel_sigma * pixel_sigma);
  for (int r = 0; r < jacobian.num_rows; ++r) {
    int point = -1;
    for (int k = jacobian.rows[r]; k < jacobian.rows[r + 1]; ++k) {
      if (jacobian.cols[k] >= m) point = (jacobian.cols[k] - m) / 3;
    }
    if (point >= 0) {
      rows_of[point].push_back(r);
      continue;
    }
    for (int i = jacobian.rows[r]; i < jacobian.rows[r + 1]; ++i) {
      for (int j = jacobian.rows[r]; j < jacobian.rows[r + 1]; ++j)
        s(jacobian.cols[i], jacobian.cols[j]) += jacobian.values[i] * jacobian.values[j];
    }
  }
  // Each point adds its rows and takes out what it alone explains: s -= b * p^-1 * b^T.
  // A point its rows do not fix (never so after triangulation) is left out.
  std::vector<int> touched;
  std::vector<char> marked(m, 0);
  Eigen::MatrixXd b = Eigen::MatrixXd::Zero(m, 3);
  auto at_point = [&](int r) {
    Eigen::Vector3d d = Eigen::Vector3d::Zero();
    for (int k = jacobian.rows[r]; k < jacobian.rows[r + 1]; ++k) {
      if (jacobian.cols[k] >= m) d[(jacobian.cols[k] - m) % 3] = jacobian.values[k];
    }
    return d;
  };
  for (int p = 0; p < points; ++p) {
    Eigen::Matrix3d own = Eigen::Matrix3d::Zero();
    for (int r : rows_of[p]) own += weight * at_point(r) * at_point(r).transpose();
    const Eigen::LLT<Eigen::Matrix3d> own_inverse(own);
    if (own_inverse.info() != Eigen::Success) continue;
    touched.clear();
    for (int r : rows_of[p]) {
      const Eigen::Vector3d d = at_point(r);
      for (int i = jacobian.rows[r]; i < jacobian.rows[r + 1]; ++i) {
        const int c = jacobian.cols[i];
        if (c >= m) continue;
        if (!marked[c]) {
          marked[c] = 1;
          touched.push_back(c);
        }
        b.row(c) += weight * jacobian.values[i] * d.transpose();
        for (int j = jacobian.rows[r]; j < jacobian.rows[r + 1]; ++j) {
          if (jacobian.cols[j] < m)
            s(c, jacobian.cols[j]) += weight * jacobian.values[i] * jacobian.values[j];
        }
      }
    }
    for (int i : touched) {
      const Eigen::Vector3d explained = own_inverse.solve(b.row(i).transpose());
      for (int j : touched) s(j, i) -= b.row(j).dot(explained);
    }
    for (int i : touched) {
      b.row(i).setZero();
      marked[i] = 0;
    }
  }
  const Eigen::LDLT<Eigen::MatrixXd> solved(s);
  if (solved.info() != Eigen::Success) return infinite;
  Eigen::VectorXd unit = Eigen::VectorXd::Zero(m);
  unit[0] = 1.0;
  const double variance = solved.solve(unit)[0];
  return variance > 0.0 && std::isfinite(variance) ? std::sqrt(variance) : infinite;
}

}  // namespace sfm
