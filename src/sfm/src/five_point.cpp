#include "five_point.h"

#include <Eigen/Eigenvalues>
#include <Eigen/LU>
#include <Eigen/QR>

#include <cmath>
#include <complex>

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

// The least last pivot, relative to the first, of five independent constraints.
constexpr double kIndependent = 1e-10;
// The largest imaginary part, relative, of a root taken as real.
constexpr double kRealRoot = 1e-8;

// A fixed rotation of four dimensions, row by row, with no axis near a coordinate axis or
// plane: turns by unrelated angles (0.61, 1.13, 0.37, 0.89, 1.41, 0.53 radians) in its six
// planes, multiplied out. Written out to the last digit, so the solutions are the same on
// every run and machine whatever its sine and cosine give.
constexpr double kGenericRotation[16] = {
    0.32604500330083824, -0.27478524360622786,  0.43866087877595211,  0.79105269050192328,
    0.22787900275825007, -0.069107646386765781, -0.89459450946397712, 0.3781480622053921,
    0.84320821585730288, -0.26974867104303957,  0.039786539216087047, -0.46330615199721326,
    0.36161543196496199, 0.92030041702569165,   0.075460773688202976, 0.12879089028929816};

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
  // Fewer than five independent constraints (repeated or coincident matches) leave a null
  // space of more than four dimensions, of which any four would give spurious solutions.
  const Eigen::ColPivHouseholderQR<Eigen::Matrix<double, 9, 5>> qr(constraints.transpose());
  const double first_pivot = std::abs(qr.matrixQR()(0, 0));
  if (!(std::abs(qr.matrixQR()(4, 4)) > kIndependent * first_pivot)) return {};
  // E = x X + y Y + z Z + W over an orthonormal basis of the constraints' null space: the
  // last four columns of the orthogonal factor of their transpose, turned by a fixed generic
  // rotation. Those columns follow the coordinate axes closely when the motion does: with no
  // turn and the baseline along the image's x axis the true E is one of them, with no share
  // of W, and the reduction below has no solution with W's coefficient of one.
  const Eigen::Matrix<double, 9, 9> q = qr.householderQ();
  const Eigen::Matrix<double, 9, 4> basis =
      q.rightCols<4>() *
      Eigen::Map<const Eigen::Matrix<double, 4, 4, Eigen::RowMajor>>(kGenericRotation);
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
    // A real root repeated, or nearly, may come out as a conjugate pair with a tiny imaginary
    // part: it is taken once, from the member above the real axis, and read in complex
    // arithmetic, since the pair's eigenvectors are complex too.
    const std::complex<double> root = eigen.eigenvalues()[s];
    if (root.imag() < 0.0 || root.imag() > kRealRoot * (1.0 + std::abs(root))) continue;
    const Eigen::Matrix<std::complex<double>, 10, 1> v = eigen.eigenvectors().col(s);
    const std::complex<double> one = v[kOne - kCubic];
    if (!(std::abs(one) > 1e-12 * v.norm())) continue;
    const double x = (v[kX - kCubic] / one).real(), y = (v[kY - kCubic] / one).real(),
                 z = (v[kZ - kCubic] / one).real();
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
