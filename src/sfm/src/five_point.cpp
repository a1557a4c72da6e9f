#include "five_point.h"

#include <Eigen/Eigenvalues>
#include <Eigen/LU>
#include <Eigen/QR>

#include <cmath>

namespace sfm {
namespace {

// Polynomials in the coefficients (x, y, z) of degree up to three, one coefficient per
// monomial; the monomials of degree three come first, then those of degree two or less,
// which are the ten the cubic ones are reduced to.
constexpr int kMonomials = 20;
using Poly = std::array<double, kMonomials>;

struct Exponents {
  int x, y, z;
};
// Degree three: x3 x2y x2z xy2 xyz xz2 y3 y2z yz2 z3; then x2 xy xz y2 yz z2 x y z 1.
constexpr Exponents kOrder[kMonomials] = {{3, 0, 0}, {2, 1, 0}, {2, 0, 1}, {1, 2, 0}, {1, 1, 1},
                                          {1, 0, 2}, {0, 3, 0}, {0, 2, 1}, {0, 1, 2}, {0, 0, 3},
                                          {2, 0, 0}, {1, 1, 0}, {1, 0, 1}, {0, 2, 0}, {0, 1, 1},
                                          {0, 0, 2}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, 0, 0}};
constexpr int kCubic = 10;  // the first ten: degree three
constexpr int kOne = 19, kX = 16, kY = 17, kZ = 18;

constexpr int indexOf(int x, int y, int z) {
  for (int i = 0; i < kMonomials; ++i)
    if (kOrder[i].x == x && kOrder[i].y == y && kOrder[i].z == z) return i;
  return -1;
}

// The product table: the monomial of i times j, or -1 above degree three.
struct Products {
  int of[kMonomials][kMonomials];
  constexpr Products() : of() {
    for (int i = 0; i < kMonomials; ++i)
      for (int j = 0; j < kMonomials; ++j) {
        const int x = kOrder[i].x + kOrder[j].x, y = kOrder[i].y + kOrder[j].y,
                  z = kOrder[i].z + kOrder[j].z;
        of[i][j] = x + y + z <= 3 ? indexOf(x, y, z) : -1;
      }
  }
};
constexpr Products kProducts;

// Products of this code never exceed degree three: their factors' degrees add up to it.
Poly times(const Poly& p, const Poly& q) {
  Poly out{};
  for (int i = 0; i < kMonomials; ++i) {
    if (p[i] == 0.0) continue;
    for (int j = 0; j < kMonomials; ++j) {
      if (q[j] == 0.0) continue;
      out[kProducts.of[i][j]] += p[i] * q[j];
    }
  }
  return out;
}

Poly plus(const Poly& p, const Poly& q, double q_scale = 1.0) {
  Poly out;
  for (int i = 0; i < kMonomials; ++i) out[i] = p[i] + q_scale * q[i];
  return out;
}

using PolyMatrix = std::array<std::array<Poly, 3>, 3>;

PolyMatrix product(const PolyMatrix& p, const PolyMatrix& q, bool q_transposed) {
  PolyMatrix out;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      out[r][c] = Poly{};
      for (int k = 0; k < 3; ++k)
        out[r][c] = plus(out[r][c], times(p[r][k], q_transposed ? q[c][k] : q[k][c]));
    }
  return out;
}

}  // namespace

std::vector<Eigen::Matrix3d> essentialsOfFive(const std::array<Eigen::Vector2d, 5>& a,
                                              const std::array<Eigen::Vector2d, 5>& b) {
  // xb' E xa = 0 for each match, E read row by row.
  Eigen::Matrix<double, 5, 9> constraints;
  for (int i = 0; i < 5; ++i) {
    const Eigen::Vector3d xa(a[i].x(), a[i].y(), 1.0), xb(b[i].x(), b[i].y(), 1.0);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) constraints(i, 3 * r + c) = xb[r] * xa[c];
  }
  // E = x X + y Y + z Z + W over an orthonormal basis of the constraints' null space: the
  // last four columns of the orthogonal factor of their transpose.
  const Eigen::HouseholderQR<Eigen::Matrix<double, 9, 5>> qr(constraints.transpose());
  const Eigen::Matrix<double, 9, 9> q = qr.householderQ();
  const Eigen::Matrix<double, 9, 4> basis = q.rightCols<4>();
  PolyMatrix e;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      Poly p{};
      p[kX] = basis(3 * r + c, 0);
      p[kY] = basis(3 * r + c, 1);
      p[kZ] = basis(3 * r + c, 2);
      p[kOne] = basis(3 * r + c, 3);
      e[r][c] = p;
    }
  // The ten cubic constraints: det E = 0 and 2 E E' E - trace(E E') E = 0.
  const PolyMatrix eet = product(e, e, true);
  const Poly trace = plus(plus(eet[0][0], eet[1][1]), eet[2][2]);
  const PolyMatrix eete = product(eet, e, false);
  Eigen::Matrix<double, 10, kMonomials> equations;
  const Poly det =
      plus(plus(times(e[0][0], plus(times(e[1][1], e[2][2]), times(e[1][2], e[2][1]), -1.0)),
                times(e[0][1], plus(times(e[1][2], e[2][0]), times(e[1][0], e[2][2]), -1.0))),
           times(e[0][2], plus(times(e[1][0], e[2][1]), times(e[1][1], e[2][0]), -1.0)));
  for (int m = 0; m < kMonomials; ++m) equations(0, m) = det[m];
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) {
      const Poly row = plus(eete[r][c], times(trace, e[r][c]), -0.5);
      for (int m = 0; m < kMonomials; ++m) equations(1 + 3 * r + c, m) = row[m];
    }
  // Each cubic monomial in the ten of lower degree: cubic = -reduced * lower.
  const Eigen::Matrix<double, 10, 10> cubic = equations.leftCols<kCubic>();
  const Eigen::FullPivLU<Eigen::Matrix<double, 10, 10>> lu(cubic);
  if (!lu.isInvertible()) return {};
  const Eigen::Matrix<double, 10, 10> reduced = lu.solve(equations.rightCols<10>());
  // Multiplication by x on the lower monomials (indices less kCubic): x * m_k is again a
  // lower monomial or a cubic one, written through `reduced`.
  Eigen::Matrix<double, 10, 10> action = Eigen::Matrix<double, 10, 10>::Zero();
  for (int k = 0; k < 10; ++k) {
    const int product = kProducts.of[kX][kCubic + k];
    if (product >= kCubic)
      action(k, product - kCubic) = 1.0;
    else
      action.row(k) = -reduced.row(product);
  }
  if (!action.allFinite()) return {};
  // action * v = x v for v = the lower monomials at each solution.
  const Eigen::EigenSolver<Eigen::Matrix<double, 10, 10>> eigen(action);
  if (eigen.info() != Eigen::Success) return {};
  std::vector<Eigen::Matrix3d> out;
  for (int s = 0; s < 10; ++s) {
    if (std::abs(eigen.eigenvalues()[s].imag()) > 1e-10 * (1.0 + std::abs(eigen.eigenvalues()[s])))
      continue;
    const Eigen::Matrix<double, 10, 1> v = eigen.eigenvectors().col(s).real();
    const double one = v[kOne - kCubic];
    if (!(std::abs(one) > 1e-12 * v.norm())) continue;
    const double x = v[kX - kCubic] / one, y = v[kY - kCubic] / one, z = v[kZ - kCubic] / one;
    Eigen::Matrix3d m;
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c)
        m(r, c) = x * basis(3 * r + c, 0) + y * basis(3 * r + c, 1) + z * basis(3 * r + c, 2) +
                  basis(3 * r + c, 3);
    if (m.allFinite()) out.push_back(m / m.norm());
  }
  return out;
}

}  // namespace sfm
