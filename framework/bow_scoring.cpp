#include "framework/bow_scoring.h"

#include <cmath>

namespace fw {

namespace {

// Walks a and b in word order and sums term(a, b) over the words they share.
template <typename Term>
double sumCommon(const BowVector& a, const BowVector& b, Term term) {
  double sum = 0;
  auto ia = a.begin(), ib = b.begin();
  while (ia != a.end() && ib != b.end()) {
    if (ia->first == ib->first) {
      sum += term(ia->second, ib->second);
      ++ia;
      ++ib;
    } else if (ia->first < ib->first) {
      ia = a.lower_bound(ib->first);
    } else {
      ib = b.lower_bound(ia->first);
    }
  }
  return sum;
}

}  // namespace

void normalizeBow(BowVector& bow, int norm) {
  double total = 0;
  if (norm == kL1Norm) {
    for (const auto& entry : bow) total += std::fabs(double(entry.second));
  } else {
    for (const auto& entry : bow) total += double(entry.second) * double(entry.second);
    total = std::sqrt(total);
  }
  if (total > 0)
    for (auto& entry : bow) entry.second = float(entry.second / total);
}

double L1Scoring::score(const BowVector& a, const BowVector& b) const {
  const double s = sumCommon(
      a, b, [](float va, float vb) { return std::fabs(va - vb) - std::fabs(va) - std::fabs(vb); });
  return -s / 2.0;
}

double L2Scoring::score(const BowVector& a, const BowVector& b) const {
  const double s = sumCommon(a, b, [](float va, float vb) { return va * vb; });
  return s >= 1.0 ? 1.0 : 1.0 - std::sqrt(1.0 - s);
}

double ChiSquareScoring::score(const BowVector& a, const BowVector& b) const {
  const double s = sumCommon(a, b, [](float va, float vb) {
    const float sum = va + vb;
    return sum != 0 ? va * vb / sum : 0.0f;
  });
  return 2.0 * s;
}

double KLScoring::score(const BowVector& a, const BowVector& b) const {
  static const double logEps = std::log(2.220446049250313e-16);
  double sum = 0;
  auto ia = a.begin(), ib = b.begin();
  while (ia != a.end()) {
    const float va = ia->second;
    if (ib == b.end() || ia->first < ib->first) {
      sum += va * (std::log(va) - logEps);
      ++ia;
    } else if (ia->first == ib->first) {
      const float vb = ib->second;
      if (va != 0 && vb != 0) sum += va * std::log(va / vb);
      ++ia;
      ++ib;
    } else {
      ib = b.lower_bound(ia->first);
    }
  }
  return sum;
}

double BhattacharyyaScoring::score(const BowVector& a, const BowVector& b) const {
  return sumCommon(a, b, [](float va, float vb) { return std::sqrt(va * vb); });
}

double DotProductScoring::score(const BowVector& a, const BowVector& b) const {
  return sumCommon(a, b, [](float va, float vb) { return va * vb; });
}

}  // namespace fw
