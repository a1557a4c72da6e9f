#include "descriptor_matching.h"

#include <opencv2/features2d.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

namespace sfm {
namespace {

constexpr int kBinaryWords = 4;  // 256-bit descriptors (ORB) as 64-bit words

// The two smallest distances offered so far and the row of the smallest: integer Hamming
// counts in the exhaustive search, real distances in the windowed one.
template <typename Distance>
class NearestTwoSoFar {
 public:
  void offer(Distance d, int j) {
    if (d < second_) {
      if (d < best_) {
        second_ = best_;
        best_ = d;
        best_j_ = j;
      } else {
        second_ = d;
      }
    }
  }

  // With fewer than two rows offered, the missing distances are infinite.
  NearestTwo result() const {
    NearestTwo n;
    n.best = best_j_;
    n.best_distance = asDistance(best_);
    n.second_distance = asDistance(second_);
    return n;
  }

 private:
  static constexpr Distance kNone = std::numeric_limits<Distance>::has_infinity
                                        ? std::numeric_limits<Distance>::infinity()
                                        : std::numeric_limits<Distance>::max();
  static double asDistance(Distance d) {
    return d == kNone ? std::numeric_limits<double>::infinity() : double(d);
  }

  Distance best_ = kNone, second_ = kNone;
  int best_j_ = -1;
};

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
    NearestTwoSoFar<int> nearest;
    const uint64_t* t = words.data();
    for (int j = 0; j < train.rows; ++j, t += kBinaryWords) {
      nearest.offer(__builtin_popcountll(q[0] ^ t[0]) + __builtin_popcountll(q[1] ^ t[1]) +
                        __builtin_popcountll(q[2] ^ t[2]) + __builtin_popcountll(q[3] ^ t[3]),
                    j);
    }
    out[i] = nearest.result();
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

// Distance of two descriptor rows: Hamming for 8-bit rows, Euclidean otherwise.
double rowDistance(const cv::Mat& a, int i, const cv::Mat& b, int j) {
  if (a.depth() == CV_8U) {
    const uint8_t* p = a.ptr<uint8_t>(i);
    const uint8_t* q = b.ptr<uint8_t>(j);
    int d = 0;
    int k = 0;
    for (; k + 8 <= a.cols; k += 8) {
      uint64_t x, y;
      std::memcpy(&x, p + k, 8);
      std::memcpy(&y, q + k, 8);
      d += __builtin_popcountll(x ^ y);
    }
    for (; k < a.cols; ++k) d += __builtin_popcount(unsigned(p[k] ^ q[k]));
    return d;
  }
  const float* p = a.ptr<float>(i);
  const float* q = b.ptr<float>(j);
  float sum = 0.0f;
  for (int k = 0; k < a.cols; ++k) sum += (p[k] - q[k]) * (p[k] - q[k]);
  return std::sqrt(double(sum));
}

}  // namespace

std::vector<NearestTwo> nearestTwoWithin(const cv::Mat& query,
                                         const std::vector<cv::Point2f>& expected_at,
                                         const cv::Mat& train,
                                         const std::vector<cv::Point2f>& train_at, double radius) {
  std::vector<NearestTwo> out(query.rows);
  if (query.empty() || train.empty() || !(radius > 0.0)) return out;
  // Train rows by cells of the radius's size: a query looks in the 3 x 3 cells around it.
  float left = std::numeric_limits<float>::max(), top = left;
  auto finite = [](const cv::Point2f& p) { return std::isfinite(p.x) && std::isfinite(p.y); };
  for (const cv::Point2f& p : train_at) {
    if (!finite(p)) continue;
    left = std::min(left, p.x);
    top = std::min(top, p.y);
  }
  std::map<std::pair<int, int>, std::vector<int>> cells;
  auto cellOf = [&](const cv::Point2f& p) {
    return std::make_pair(static_cast<int>(std::floor((p.x - left) / radius)),
                          static_cast<int>(std::floor((p.y - top) / radius)));
  };
  for (int j = 0; j < train.rows; ++j) {
    if (finite(train_at[j])) cells[cellOf(train_at[j])].push_back(j);
  }
  const double radius2 = radius * radius;
  for (int i = 0; i < query.rows; ++i) {
    const cv::Point2f& at = expected_at[i];
    if (!finite(at)) continue;
    const auto [cx, cy] = cellOf(at);
    NearestTwoSoFar<double> nearest;
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const auto cell = cells.find({cx + dx, cy + dy});
        if (cell == cells.end()) continue;
        for (int j : cell->second) {
          const double ex = train_at[j].x - at.x, ey = train_at[j].y - at.y;
          if (ex * ex + ey * ey > radius2) continue;
          nearest.offer(rowDistance(query, i, train, j), j);
        }
      }
    }
    out[i] = nearest.result();
  }
  return out;
}

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
