#pragma once

#include <Eigen/Core>

#include <array>
#include <vector>

namespace sfm {

// The essential matrices (up to ten, each up to scale and sign) that five matches in
// normalised image coordinates fit exactly: b's ray xb and a's ray xa of each match satisfy
// xb' E xa = 0, and E has two equal singular values and a third of zero. The matrices span
// four dimensions from the five linear constraints; the ten cubic constraints on the
// coefficients are reduced in degree (every cubic monomial written in the ten monomials of
// degree two or less) and the solutions read from the eigenvectors of multiplication by the
// first coefficient on those ten: a single 10 x 10 eigenproblem in place of the tenth-degree
// polynomial and its iterative root search. Degenerate samples give none.
std::vector<Eigen::Matrix3d> essentialsOfFive(const std::array<Eigen::Vector2d, 5>& a,
                                              const std::array<Eigen::Vector2d, 5>& b);

}  // namespace sfm
