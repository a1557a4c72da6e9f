#pragma once

// The two vectors a vocabulary makes of a set of features.

#include <cstdint>
#include <map>
#include <vector>

namespace fw {

// Word id -> weight; only positive weights are ever added.
using BowVector = std::map<uint64_t, float>;

// Vocabulary node id -> indices of the features below that node, in transform order.
using FeatureVector = std::map<uint64_t, std::vector<uint32_t>>;

}  // namespace fw
