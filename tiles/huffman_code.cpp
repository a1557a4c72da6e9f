#include "tiles/huffman_code.h"

#include <algorithm>
#include <vector>

namespace {

struct Node {
  uint64_t weight;
  int symbol;  // -1 for a package
  int left;
  int right;
};

void countLeaves(const std::vector<Node>& pool, int index, uint8_t* lengths) {
  const Node& node = pool[index];
  if (node.symbol >= 0) {
    ++lengths[node.symbol];
    return;
  }
  countLeaves(pool, node.left, lengths);
  countLeaves(pool, node.right, lengths);
}

}  // namespace

void buildCodeLengths(const uint32_t* counts, int n, int maxBits, uint8_t* lengths) {
  std::vector<int> used;
  for (int s = 0; s < n; ++s) {
    lengths[s] = 0;
    if (counts[s] > 0) used.push_back(s);
  }
  for (int filler = 0; used.size() < 2 && filler < n; ++filler) {
    if (std::find(used.begin(), used.end(), filler) == used.end()) used.push_back(filler);
  }
  std::vector<Node> pool;
  std::vector<int> leaves;
  for (int s : used) {
    leaves.push_back(static_cast<int>(pool.size()));
    pool.push_back({std::max<uint64_t>(counts[s], 1), s, -1, -1});
  }
  std::stable_sort(leaves.begin(), leaves.end(),
                   [&](int a, int b) { return pool[a].weight < pool[b].weight; });

  // Package-merge: each level pairs the items of the level below into packages and merges
  // them with the leaves; the cheapest 2m - 2 items of the last level give the lengths.
  std::vector<int> level = leaves;
  for (int depth = 1; depth < maxBits; ++depth) {
    std::vector<int> packages;
    for (size_t i = 0; i + 1 < level.size(); i += 2) {
      packages.push_back(static_cast<int>(pool.size()));
      pool.push_back(
          {pool[level[i]].weight + pool[level[i + 1]].weight, -1, level[i], level[i + 1]});
    }
    std::vector<int> merged;
    std::merge(leaves.begin(), leaves.end(), packages.begin(), packages.end(),
               std::back_inserter(merged),
               [&](int a, int b) { return pool[a].weight < pool[b].weight; });
    level.swap(merged);
  }
  const size_t take = 2 * used.size() - 2;
  for (size_t i = 0; i < take; ++i) countLeaves(pool, level[i], lengths);
}

void canonicalCodes(const uint8_t* lengths, int n, uint16_t* codes) {
  int countPerLength[16] = {};
  for (int s = 0; s < n; ++s) ++countPerLength[lengths[s]];
  countPerLength[0] = 0;
  int next[16] = {};
  int code = 0;
  for (int bits = 1; bits < 16; ++bits) {
    code = (code + countPerLength[bits - 1]) << 1;
    next[bits] = code;
  }
  for (int s = 0; s < n; ++s) {
    const int len = lengths[s];
    codes[s] = 0;
    if (len == 0) continue;
    const int c = next[len]++;
    int reversed = 0;
    for (int b = 0; b < len; ++b) reversed |= ((c >> b) & 1) << (len - 1 - b);
    codes[s] = static_cast<uint16_t>(reversed);
  }
}
