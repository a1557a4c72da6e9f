#include "framework/vocabulary.h"
#include "framework/log.h"

#include <opencv2/core/hal/interface.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>

namespace fw {

namespace {

constexpr uint64_t kSignature = 88877711233ULL;
// Largest descriptor row accepted from a file (bytes); real descriptors have 32 to 512.
constexpr int64_t kMaxDescriptorBytes = 1 << 16;
// Deepest tree accepted from a file; real vocabularies have up to about ten levels.
constexpr int32_t kMaxLevels = 64;

template <typename T>
bool readValue(std::istream& in, T& value) {
  in.read(reinterpret_cast<char*>(&value), sizeof(T));
  return bool(in);
}

bool fail(const std::string& why) {
  FW_LOG(fw::kLogError) << "Vocabulary: " << why;
  return false;
}

// Bytes left in a seekable stream, -1 when the stream cannot tell.
int64_t remainingBytes(std::istream& in) {
  const std::streampos here = in.tellg();
  if (here < 0) return -1;
  in.seekg(0, std::ios::end);
  const std::streampos end = in.tellg();
  in.seekg(here);
  if (end < 0 || !in) {
    in.clear();
    in.seekg(here);
    return -1;
  }
  return int64_t(end - here);
}

// Float distances become integers by truncation; what has no 64-bit reading counts as the
// largest distance.
uint64_t toIntegerDistance(float d) {
  if (!(d < 18446744073709551616.0f)) return std::numeric_limits<uint64_t>::max();
  return d <= 0 ? 0 : uint64_t(d);
}

std::shared_ptr<GeneralScoring> makeScoring(int code) {
  switch (code) {
    case 0:
      return std::make_shared<L1Scoring>();
    case 1:
      return std::make_shared<L2Scoring>();
    case 2:
      return std::make_shared<ChiSquareScoring>();
    case 3:
      return std::make_shared<KLScoring>();
    case 4:
      return std::make_shared<BhattacharyyaScoring>();
    case 5:
      return std::make_shared<DotProductScoring>();
    default:
      return nullptr;
  }
}

}  // namespace

Vocabulary::Vocabulary() : scoringObject_(std::make_shared<L1Scoring>()) {}

Vocabulary::Vocabulary(Vocabulary&& other) noexcept { *this = std::move(other); }

Vocabulary& Vocabulary::operator=(Vocabulary&& other) noexcept {
  k_ = other.k_;
  L_ = other.L_;
  weighting_ = other.weighting_;
  scoring_ = other.scoring_;
  scoringObject_ = std::move(other.scoringObject_);
  nodes_ = std::move(other.nodes_);  // the node storage moves, so word pointers stay valid
  descriptors_ = other.descriptors_;
  words_ = std::move(other.words_);
  other.nodes_.clear();
  other.words_.clear();
  return *this;
}

Vocabulary::~Vocabulary() = default;

void Vocabulary::createScoringObject() { scoringObject_ = makeScoring(scoring_); }

bool Vocabulary::fits(const GImage& feature) const {
  return feature.data && feature.rows >= 1 && feature.cols == descriptors_.cols &&
         feature.type == descriptors_.type;
}

float Vocabulary::distance(const GImage& feature, const GImage& descriptor) const {
  if (feature.type == CV_8UC1) {
    // Hamming distance over whole 64-bit words; trailing bytes are ignored.
    uint64_t bits = 0;
    for (int i = 0; i + 8 <= feature.cols; i += 8) {
      uint64_t a, b;
      std::memcpy(&a, feature.data + i, 8);
      std::memcpy(&b, descriptor.data + i, 8);
      bits += uint64_t(__builtin_popcountll(a ^ b));
    }
    return float(bits);
  }
  const float* f = reinterpret_cast<const float*>(feature.data);
  const float* d = reinterpret_cast<const float*>(descriptor.data);
  float sum = 0;
  for (int i = 0; i < feature.cols; ++i) {
    const float diff = f[i] - d[i];
    sum += diff * diff;
  }
  return sum;
}

void Vocabulary::transform(const GImage& feature, uint64_t& wordId, float& weight) const {
  wordId = 0;
  weight = 0;
  if (empty() || !fits(feature)) return;
  const Node* node = &nodes_[0];
  while (node->childCount > 0) {
    const Node* best = &nodes_[node->children[0]];
    uint64_t bestDistance = std::numeric_limits<uint64_t>::max();
    for (int c = 0; c < node->childCount; ++c) {
      const Node& child = nodes_[node->children[c]];
      const uint64_t d = toIntegerDistance(distance(feature, child.descriptor));
      if (d < bestDistance) {
        bestDistance = d;
        best = &child;
      }
    }
    node = best;
  }
  wordId = node->wordId;
  weight = node->weight;
}

void Vocabulary::transform(const GImage& feature, uint64_t& wordId, float& weight, uint64_t* nodeId,
                           int levelsUp) const {
  wordId = 0;
  weight = 0;
  const int64_t targetLevel = int64_t(L_) - levelsUp;
  if (targetLevel < 1 && nodeId) *nodeId = 0;
  if (empty() || !fits(feature)) return;
  const Node* node = &nodes_[0];
  int64_t level = 0;
  while (node->childCount > 0) {
    ++level;
    const Node* best = &nodes_[node->children[0]];
    float bestDistance = std::numeric_limits<float>::max();
    for (int c = 0; c < node->childCount; ++c) {
      const Node& child = nodes_[node->children[c]];
      const float d = distance(feature, child.descriptor);
      if (d < bestDistance) {
        bestDistance = d;
        best = &child;
      }
    }
    if (level == targetLevel && nodeId) *nodeId = best->id;
    node = best;
  }
  wordId = node->wordId;
  weight = node->weight;
}

uint64_t Vocabulary::transform(const GImage& feature) const {
  if (empty()) return 0;
  uint64_t wordId = 0;
  float weight = 0;
  transform(feature, wordId, weight);
  return wordId;
}

void Vocabulary::addWord(BowVector& bow, uint64_t wordId, float weight) const {
  if (weighting_ == 0 || weighting_ == 1)
    bow[wordId] += weight;
  else if (weighting_ == 2 || weighting_ == 3)
    bow.emplace(wordId, weight);
}

void Vocabulary::finishBow(BowVector& bow, bool normalize, int norm) const {
  if (weighting_ == 0 || weighting_ == 1) {
    if (normalize) {
      normalizeBow(bow, norm);
    } else if (!bow.empty()) {
      const float words = float(bow.size());
      for (auto& entry : bow) entry.second /= words;
    }
  } else if (normalize) {
    normalizeBow(bow, norm);
  }
}

void Vocabulary::transform(const GImage& features, BowVector& bow, FeatureVector& fv,
                           int levelsUp) const {
  bow.clear();
  fv.clear();
  if (empty() || !scoringObject_) return;
  int norm = kL1Norm;
  const bool normalize = scoringObject_->mustNormalize(norm);
  for (int i = 0; i < features.rows; ++i) {
    uint64_t wordId = 0, nodeId = 0;
    float weight = 0;
    transform(features.row(i), wordId, weight, &nodeId, levelsUp);
    if (weight > 0) {
      addWord(bow, wordId, weight);
      fv[nodeId].push_back(uint32_t(i));
    }
  }
  finishBow(bow, normalize, norm);
}

void Vocabulary::transform(const std::vector<GImage>& features, BowVector& bow, FeatureVector& fv,
                           int levelsUp) const {
  bow.clear();
  fv.clear();
  if (empty() || !scoringObject_) return;
  int norm = kL1Norm;
  const bool normalize = scoringObject_->mustNormalize(norm);
  for (size_t i = 0; i < features.size(); ++i) {
    uint64_t wordId = 0, nodeId = 0;
    float weight = 0;
    transform(features[i], wordId, weight, &nodeId, levelsUp);
    if (weight > 0) {
      addWord(bow, wordId, weight);
      fv[nodeId].push_back(uint32_t(i));
    }
  }
  finishBow(bow, normalize, norm);
}

void Vocabulary::transform(const GImage& features, BowVector& bow) const {
  bow.clear();
  if (empty() || !scoringObject_) return;
  int norm = kL1Norm;
  const bool normalize = scoringObject_->mustNormalize(norm);
  for (int i = 0; i < features.rows; ++i) {
    uint64_t wordId = 0;
    float weight = 0;
    transform(features.row(i), wordId, weight);
    if (weight > 0) addWord(bow, wordId, weight);
  }
  finishBow(bow, normalize, norm);
}

uint64_t Vocabulary::getParentNode(uint64_t wordId, int levelsUp) const {
  if (wordId >= size()) return 0;
  uint64_t id = words_[wordId]->id;
  for (int i = 0; i < levelsUp && id != 0; ++i) id = nodes_[id].parent;
  return id;
}

GImage Vocabulary::getWord(uint64_t wordId) const {
  return wordId < size() ? words_[wordId]->descriptor : GImage();
}

float Vocabulary::getWordWeight(uint64_t wordId) const {
  return wordId < size() ? words_[wordId]->weight : 0.0f;
}

int Vocabulary::stopWords(double minWeight) {
  int stopped = 0;
  for (Node* word : words_) {
    if (word->weight < minWeight) {
      word->weight = 0;
      ++stopped;
    }
  }
  return stopped;
}

bool Vocabulary::load(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    FW_LOG(fw::kLogError) << "Vocabulary::load Could not open file " << path << " for reading";
    return false;
  }
  return load(file);
}

bool Vocabulary::load(std::istream& in) {
  uint64_t signature = 0;
  if (!readValue(in, signature) || signature != kSignature) {
    FW_LOG(fw::kLogError) << "Vocabulary: Wrong signature.";
    return false;
  }
  uint8_t flag = 1;
  uint32_t nodeCount = 0;
  if (!readValue(in, flag) || flag != 0) return false;
  if (!readValue(in, nodeCount) || nodeCount == 0) return false;

  int32_t k = 0, levels = 0, scoring = 0, weighting = 0, cols = 0, unused = 0, type = 0;
  if (!readValue(in, k) || !readValue(in, levels) || !readValue(in, scoring) ||
      !readValue(in, weighting) || !readValue(in, cols) || !readValue(in, unused) ||
      !readValue(in, type))
    return fail("truncated header.");
  if (levels < 0 || levels > kMaxLevels)
    return fail("bad number of levels " + std::to_string(levels) + ".");
  if (scoring < 0 || scoring > 5)
    return fail("unknown scoring code " + std::to_string(scoring) + ".");
  if (type != CV_8UC1 && type != CV_32FC1)
    return fail("unsupported descriptor type " + std::to_string(type) + ".");
  const int64_t rowBytes = int64_t(GImage::elemSize(type)) * cols;
  if (cols < 1 || rowBytes > kMaxDescriptorBytes)
    return fail("bad descriptor size " + std::to_string(cols) + ".");
  // Every stored node needs its record; a count the stream cannot hold is refused before
  // anything is allocated for it.
  const int64_t recordBytes = 8 + 4 + rowBytes;
  const int64_t remaining = remainingBytes(in);
  if (remaining >= 0 && (int64_t(nodeCount) - 1) * recordBytes + 4 > remaining)
    return fail("file too short for " + std::to_string(nodeCount) + " nodes.");

  std::vector<Node> nodes(nodeCount);
  GImage descriptors(int(std::min<uint32_t>(nodeCount, INT32_MAX)), cols, type);
  if (!descriptors.data || uint64_t(descriptors.rows) != nodeCount)
    return fail("cannot hold " + std::to_string(nodeCount) + " nodes.");
  std::memset(descriptors.data, 0, size_t(rowBytes));  // the root's row is never compared
  nodes[0].descriptor = descriptors.row(0);
  for (uint32_t i = 1; i < nodeCount; ++i) {
    Node& node = nodes[i];
    node.id = i;
    if (!readValue(in, node.parent) || !readValue(in, node.weight))
      return fail("truncated node " + std::to_string(i) + ".");
    if (node.parent >= nodeCount || node.parent == i)
      return fail("node " + std::to_string(i) + " has a bad parent " + std::to_string(node.parent) +
                  ".");
    Node& parent = nodes[node.parent];
    if (parent.childCount < kMaxChildren) parent.children[parent.childCount++] = i;
    node.descriptor = descriptors.row(int(i));
    if (!in.read(reinterpret_cast<char*>(node.descriptor.data), std::streamsize(rowBytes)))
      return fail("truncated node " + std::to_string(i) + ".");
  }

  uint32_t wordCount = 0;
  if (!readValue(in, wordCount)) return fail("truncated word list.");
  if (remaining >= 0 && int64_t(wordCount) * 8 > remaining)
    return fail("file too short for " + std::to_string(wordCount) + " words.");
  std::vector<Node*> words(wordCount);
  for (uint32_t j = 0; j < wordCount; ++j) {
    uint64_t nodeId = 0;
    if (!readValue(in, nodeId)) return fail("truncated word list.");
    if (nodeId >= nodeCount)
      return fail("word " + std::to_string(j) + " refers to node " + std::to_string(nodeId) +
                  " of " + std::to_string(nodeCount) + ".");
    words[j] = &nodes[nodeId];
    nodes[nodeId].wordId = j;
  }

  k_ = k;
  L_ = levels;
  scoring_ = scoring;
  weighting_ = weighting;
  createScoringObject();
  nodes_ = std::move(nodes);
  descriptors_ = descriptors;
  words_ = std::move(words);
  return true;
}

}  // namespace fw
