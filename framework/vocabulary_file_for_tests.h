#pragma once

// Writes vocabulary files in the binary vocabulary format for tests.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fwtest {

struct VocabularyFile {
  struct Node {
    uint64_t parent = 0;
    float weight = 0;
    std::vector<unsigned char> descriptor;  // element size x cols bytes
  };

  uint64_t signature = 88877711233ULL;
  uint8_t flag = 0;
  int32_t k = 10, levels = 1, scoring = 0, weighting = 0, cols = 2, type = 5;
  std::vector<Node> nodes;  // ids 1 .. N - 1; the root is implied
  std::vector<uint64_t> words;
  int64_t nodeCountOverride = -1;  // writes another node count than nodes.size() + 1

  template <typename T>
  static void put(std::string& out, const T& value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof(T));
  }

  static std::vector<unsigned char> floats(std::initializer_list<float> values) {
    std::vector<unsigned char> bytes(values.size() * sizeof(float));
    std::memcpy(bytes.data(), values.begin(), bytes.size());
    return bytes;
  }

  void addNode(uint64_t parent, float weight, std::vector<unsigned char> descriptor) {
    nodes.push_back(Node{parent, weight, std::move(descriptor)});
  }

  std::string bytes() const {
    std::string out;
    put(out, signature);
    put(out, flag);
    put(out, uint32_t(nodeCountOverride >= 0 ? uint64_t(nodeCountOverride) : nodes.size() + 1));
    for (int32_t v : {k, levels, scoring, weighting, cols, int32_t(0), type}) put(out, v);
    for (const Node& node : nodes) {
      put(out, node.parent);
      put(out, node.weight);
      out.append(reinterpret_cast<const char*>(node.descriptor.data()), node.descriptor.size());
    }
    put(out, uint32_t(words.size()));
    for (uint64_t w : words) put(out, w);
    return out;
  }
};

// A flat vocabulary: ten leaves under the root, leaf i + 1 at (10 i, 0) with weight 1 and
// word id i.
inline VocabularyFile flatVocabulary(int scoring, int weighting) {
  VocabularyFile file;
  file.scoring = scoring;
  file.weighting = weighting;
  for (int i = 0; i < 10; ++i) {
    file.addNode(0, 1.0f, VocabularyFile::floats({10.0f * float(i), 0.0f}));
    file.words.push_back(uint64_t(i + 1));
  }
  return file;
}

}  // namespace fwtest
