#pragma once

// Scores between two bag-of-words vectors. Each term is computed in single precision and
// summed in double precision.

#include "framework/bow_vector.h"

namespace fw {

class GeneralScoring {
 public:
  virtual double score(const BowVector& a, const BowVector& b) const = 0;
  // Whether vectors must be normalised before scoring; norm 0 is L1, 1 is L2.
  virtual bool mustNormalize(int& norm) const = 0;
  virtual ~GeneralScoring() = default;
};

enum BowNorm { kL1Norm = 0, kL2Norm = 1 };

// Divides every weight by the vector's L1 or L2 norm when that is above 0.
void normalizeBow(BowVector& bow, int norm);

class L1Scoring : public GeneralScoring {
 public:
  double score(const BowVector& a, const BowVector& b) const override;
  bool mustNormalize(int& norm) const override {
    norm = kL1Norm;
    return true;
  }
};

class L2Scoring : public GeneralScoring {
 public:
  double score(const BowVector& a, const BowVector& b) const override;
  bool mustNormalize(int& norm) const override {
    norm = kL2Norm;
    return true;
  }
};

class ChiSquareScoring : public GeneralScoring {
 public:
  double score(const BowVector& a, const BowVector& b) const override;
  bool mustNormalize(int& norm) const override {
    norm = kL1Norm;
    return true;
  }
};

class KLScoring : public GeneralScoring {
 public:
  double score(const BowVector& a, const BowVector& b) const override;
  bool mustNormalize(int& norm) const override {
    norm = kL1Norm;
    return true;
  }
};

class BhattacharyyaScoring : public GeneralScoring {
 public:
  double score(const BowVector& a, const BowVector& b) const override;
  bool mustNormalize(int& norm) const override {
    norm = kL1Norm;
    return true;
  }
};

class DotProductScoring : public GeneralScoring {
 public:
  double score(const BowVector& a, const BowVector& b) const override;
  bool mustNormalize(int& norm) const override {
    norm = kL1Norm;
    return false;
  }
};

}  // namespace fw
