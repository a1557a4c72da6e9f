#pragma once

// A hierarchical bag-of-words vocabulary: a tree of cluster centres over feature
// descriptors whose leaves are the words. It turns features into bag-of-words and feature
// vectors and scores vectors against each other.

#include "framework/bow_scoring.h"
#include "framework/bow_vector.h"
#include "framework/gimage.h"

#include <cstdint>
#include <istream>
#include <memory>
#include <string>
#include <vector>

namespace fw {

class Vocabulary {
 public:
  static constexpr int kMaxChildren = 10;

  struct Node {
    uint64_t id = 0;
    float weight = 0;
    uint64_t parent = 0;
    int childCount = 0;
    uint64_t children[kMaxChildren] = {};
    uint64_t wordId = 0;
    GImage descriptor;  // a view of row `id` of the vocabulary's descriptors
  };

  Vocabulary();
  Vocabulary(Vocabulary&& other) noexcept;
  Vocabulary& operator=(Vocabulary&& other) noexcept;
  Vocabulary(const Vocabulary&) = delete;
  Vocabulary& operator=(const Vocabulary&) = delete;

  virtual uint64_t size() const { return words_.size(); }
  virtual bool empty() const { return words_.empty(); }
  // Word and weight of one feature, descending by integer distances. A feature of another
  // size or type than the vocabulary's descriptors (or an empty vocabulary) gives word 0
  // with weight 0.
  virtual void transform(const GImage& feature, uint64_t& wordId, float& weight) const;
  // The same descending by float distances; also reports the node passed at level
  // L - levelsUp through `nodeId` when it is not null.
  virtual void transform(const GImage& feature, uint64_t& wordId, float& weight, uint64_t* nodeId,
                         int levelsUp) const;
  virtual uint64_t transform(const GImage& feature) const;
  // One feature per row.
  virtual void transform(const GImage& features, BowVector& bow, FeatureVector& fv,
                         int levelsUp) const;
  virtual void transform(const std::vector<GImage>& features, BowVector& bow, FeatureVector& fv,
                         int levelsUp) const;
  virtual void transform(const GImage& features, BowVector& bow) const;
  // Word ids at or above size() give 0, an empty image and weight 0.
  virtual uint64_t getParentNode(uint64_t wordId, int levelsUp) const;
  virtual GImage getWord(uint64_t wordId) const;
  virtual float getWordWeight(uint64_t wordId) const;
  virtual int stopWords(double minWeight);
  virtual ~Vocabulary();

  // Replaces the scoring object by the one of the scoring code (none for a code outside 0..5).
  void createScoringObject();
  // Loads a vocabulary file; on failure writes why to the standard error stream, returns
  // false and leaves this vocabulary as it was.
  bool load(const std::string& path);
  bool load(std::istream& in);

  int k() const { return k_; }
  int levels() const { return L_; }
  int weighting() const { return weighting_; }
  int scoring() const { return scoring_; }
  const std::shared_ptr<GeneralScoring>& scoringObject() const { return scoringObject_; }
  const std::vector<Node>& nodes() const { return nodes_; }

 private:
  // True when `feature` is one row of the descriptors' size and type.
  bool fits(const GImage& feature) const;
  float distance(const GImage& feature, const GImage& descriptor) const;
  // Adds one feature's word to bow according to the weighting.
  void addWord(BowVector& bow, uint64_t wordId, float weight) const;
  void finishBow(BowVector& bow, bool normalize, int norm) const;

  int k_ = 10;
  int L_ = 5;
  int weighting_ = 0;
  int scoring_ = 0;
  std::shared_ptr<GeneralScoring> scoringObject_;
  std::vector<Node> nodes_;
  GImage descriptors_;
  std::vector<Node*> words_;
};

}  // namespace fw
