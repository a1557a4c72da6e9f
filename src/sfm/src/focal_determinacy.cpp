#include "focal_determinacy.h"

#include <ceres/crs_matrix.h>
#include <ceres/problem.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <vector>

namespace sfm {

namespace {

// The reduced blocks' columns first, then the points', three each.
struct Columns {
  ceres::Problem::EvaluateOptions evaluate;
  int reduced = 0;  // the camera's tangent, then the poses
  int points = 0;
};

// False when a block beyond the reduced ones is not a point.
bool orderColumns(ceres::Problem& problem, const std::vector<double*>& reduced, Columns& columns) {
  columns.evaluate.parameter_blocks = reduced;
  for (double* block : reduced) columns.reduced += problem.ParameterBlockTangentSize(block);
  const std::set<double*> in_reduced(reduced.begin(), reduced.end());
  std::vector<double*> all;
  problem.GetParameterBlocks(&all);
  for (double* block : all) {
    if (in_reduced.count(block) || problem.IsParameterBlockConstant(block)) continue;
    if (problem.ParameterBlockTangentSize(block) != 3) return false;
    columns.evaluate.parameter_blocks.push_back(block);
    ++columns.points;
  }
  return true;
}

// Rows by the point they see (every reprojection row sees exactly one); prior rows see none
// and go straight into `s`, already in sigmas.
std::vector<std::vector<int>> rowsByPoint(const ceres::CRSMatrix& jacobian, const Columns& columns,
                                          Eigen::MatrixXd& s) {
  const int m = columns.reduced;
  std::vector<std::vector<int>> rows_of(columns.points);
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
  return rows_of;
}

// Each point adds its rows and takes out what it alone explains: s -= b * p^-1 * b^T.
// A point its rows do not fix (never so after triangulation) is left out.
void eliminatePoints(const ceres::CRSMatrix& jacobian, int m,
                     const std::vector<std::vector<int>>& rows_of, double weight,
                     Eigen::MatrixXd& s) {
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
  for (const std::vector<int>& rows : rows_of) {
    Eigen::Matrix3d own = Eigen::Matrix3d::Zero();
    for (int r : rows) own += weight * at_point(r) * at_point(r).transpose();
    const Eigen::LLT<Eigen::Matrix3d> own_inverse(own);
    if (own_inverse.info() != Eigen::Success) continue;
    touched.clear();
    for (int r : rows) {
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
}

}  // namespace

double focalStandardDeviation(ceres::Problem& problem, const std::vector<double*>& reduced,
                              double pixel_sigma, int threads) {
  const double infinite = std::numeric_limits<double>::infinity();
  if (reduced.empty() || !(pixel_sigma > 0.0)) return infinite;
  Columns columns;
  if (!orderColumns(problem, reduced, columns)) return infinite;
  columns.evaluate.num_threads = threads;
  ceres::CRSMatrix jacobian;
  if (!problem.Evaluate(columns.evaluate, nullptr, nullptr, nullptr, &jacobian)) return infinite;

  const int m = columns.reduced;
  Eigen::MatrixXd s = Eigen::MatrixXd::Zero(m, m);
  const std::vector<std::vector<int>> rows_of = rowsByPoint(jacobian, columns, s);
  eliminatePoints(jacobian, m, rows_of, 1.0 / (pixel_sigma * pixel_sigma), s);
  const Eigen::LDLT<Eigen::MatrixXd> solved(s);
  if (solved.info() != Eigen::Success) return infinite;
  Eigen::VectorXd unit = Eigen::VectorXd::Zero(m);
  unit[0] = 1.0;
  const double variance = solved.solve(unit)[0];
  return variance > 0.0 && std::isfinite(variance) ? std::sqrt(variance) : infinite;
}

}  // namespace sfm
