#include "descriptor_matching.h"

#include <opencv2/features2d.hpp>

#include <cstdint>
#include <cstring>
#include <limits>

namespace sfm {
namespace {

constexpr int kBinaryWords = 4;  // 256-bit descriptors (ORB) as 64-bit words

// An exhaustive search over 256-bit descriptors with the processor's population count: a few
// times faster than the generic matcher, which dominates the cost of relating two frames.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define SFM_POPCOUNT_TARGET __attribute__((target("popcnt")))
bool hasPopcount() { return __builtin_cpu_supports("popcnt"); }
#else
#define SFM_POPCOUNT_TARGET
bool hasPopcount() { return true; }
#endif

SFM_POPCOUNT_TARGET std::vector<NearestTwo> nearestTwoBinary(const cv::Mat& query,
                                                             const cv::Mat& train) {
  std::vector<uint64_t> words(size_t(train.rows) * kBinaryWords);
  for (int j = 0; j < train.rows; ++j)
    std::memcpy(&words[size_t(j) * kBinaryWords], train.ptr(j), kBinaryWords * sizeof(uint64_t));
  std::vector<NearestTwo> out(query.rows);
  for (int i = 0; i < query.rows; ++i) {
    uint64_t q[kBinaryWords];
    std::memcpy(q, query.ptr(i), sizeof(q));
    int best = std::numeric_limits<int>::max(), second = best, best_j = -1;
    const uint64_t* t = words.data();
    for (int j = 0; j < train.rows; ++j, t += kBinaryWords) {
      const int d = __builtin_popcountll(q[0] ^ t[0]) + __builtin_popcountll(q[1] ^ t[1]) +
                    __builtin_popcountll(q[2] ^ t[2]) + __builtin_popcountll(q[3] ^ t[3]);
      if (d < second) {
        if (d < best) {
          second = best;
          best = d;
          best_j = j;
        } else {
          second = d;
        }
      }
    }
    out[i].best = best_j;
    out[i].best_distance = best;
    out[i].second_distance = second == std::numeric_limits<int>::max()
                                 ? std::numeric_limits<double>::infinity()
                                 : double(second);
  }
  return out;
}

std::vector<NearestTwo> nearestTwoGeneric(const cv::Mat& query, const cv::Mat& train) {
  cv::BFMatcher matcher(query.depth() == CV_8U ? cv::NORM_HAMMING : cv::NORM_L2);
  std::vector<std::vector<cv::DMatch>> found;
  matcher.knnMatch(query, train, found, 2);
  std::vector<NearestTwo> out(query.rows);
  for (const auto& m : found) {
    if (m.empty()) continue;
    NearestTwo& n = out[m[0].queryIdx];
    n.best = m[0].trainIdx;
    n.best_distance = m[0].distance;
    n.second_distance = m.size() > 1 ? m[1].distance : std::numeric_limits<double>::infinity();
  }
  return out;
}

}  // namespace

std::vector<NearestTwo> nearestTwo(const cv::Mat& query, const cv::Mat& train) {
  if (query.empty() || train.empty()) return std::vector<NearestTwo>(query.rows);
  static const bool popcount = hasPopcount();
  if (query.depth() == CV_8U && query.cols == kBinaryWords * 8 && train.cols == query.cols &&
      popcount) {
    return nearestTwoBinary(query, train);
  }
  return nearestTwoGeneric(query, train);
}

}  // namespace sfm
