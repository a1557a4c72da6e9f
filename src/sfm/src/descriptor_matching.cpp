#include "descriptor_matching.h"

#include <opencv2/features2d.hpp>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

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

  // The second distance so far (the largest value of Distance while there is none).
  Distance second() const { return second_; }

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
#define SFM_WIDE_POPCOUNT 1
#define SFM_WIDE_POPCOUNT_TARGET __attribute__((target("avx512f,avx512vpopcntdq")))
bool hasPopcount() { return __builtin_cpu_supports("popcnt"); }
bool hasWidePopcount() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vpopcntdq");
}
#else
#define SFM_POPCOUNT_TARGET
#define SFM_WIDE_POPCOUNT 0
bool hasPopcount() { return true; }
bool hasWidePopcount() { return false; }
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

#if SFM_WIDE_POPCOUNT
// The same search eight train rows at a time: the rows' words are stored word by word, so
// one vector holds word k of eight rows. A row at no less than the second distance so far
// changes nothing, so only the rows of a block that are nearer are offered, in order: the
// result is the row-by-row search's to the bit.
SFM_WIDE_POPCOUNT_TARGET std::vector<NearestTwo> nearestTwoBinaryWide(const cv::Mat& query,
                                                                      const cv::Mat& train) {
  constexpr int kLanes = 8;
  const size_t padded = (size_t(train.rows) + kLanes - 1) / kLanes * kLanes;
  std::vector<uint64_t> words(padded * kBinaryWords, 0);
  for (int j = 0; j < train.rows; ++j) {
    uint64_t row[kBinaryWords];
    std::memcpy(row, train.ptr(j), sizeof(row));
    for (int k = 0; k < kBinaryWords; ++k) words[k * padded + j] = row[k];
  }
  std::vector<NearestTwo> out(query.rows);
  for (int i = 0; i < query.rows; ++i) {
    uint64_t q[kBinaryWords];
    std::memcpy(q, query.ptr(i), sizeof(q));
    const __m512i q0 = _mm512_set1_epi64(int64_t(q[0])), q1 = _mm512_set1_epi64(int64_t(q[1]));
    const __m512i q2 = _mm512_set1_epi64(int64_t(q[2])), q3 = _mm512_set1_epi64(int64_t(q[3]));
    NearestTwoSoFar<int> nearest;
    for (int j = 0; j < train.rows; j += kLanes) {
      const uint64_t* w = words.data() + j;
      __m512i d = _mm512_popcnt_epi64(_mm512_xor_si512(q0, _mm512_loadu_si512(w)));
      d = _mm512_add_epi64(
          d, _mm512_popcnt_epi64(_mm512_xor_si512(q1, _mm512_loadu_si512(w + padded))));
      d = _mm512_add_epi64(
          d, _mm512_popcnt_epi64(_mm512_xor_si512(q2, _mm512_loadu_si512(w + 2 * padded))));
      d = _mm512_add_epi64(
          d, _mm512_popcnt_epi64(_mm512_xor_si512(q3, _mm512_loadu_si512(w + 3 * padded))));
      // Rows past the end (the padding) are never offered.
      const int lanes = std::min(kLanes, train.rows - j);
      __mmask8 nearer = _mm512_cmplt_epi64_mask(d, _mm512_set1_epi64(nearest.second()));
      nearer &= __mmask8((1u << lanes) - 1u);
      if (!nearer) continue;
      alignas(64) int64_t distance[kLanes];
      _mm512_store_si512(distance, d);
      for (int k = 0; k < lanes; ++k)
        if (nearer >> k & 1) nearest.offer(int(distance[k]), j + k);
    }
    out[i] = nearest.result();
  }
  return out;
}
#endif

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

// Train rows by square cells of the radius's size, so that a query looks in the 3 x 3 cells
// around where it is expected instead of at every row.
class TrainCells {
 public:
  TrainCells(const std::vector<cv::Point2f>& train_at, double radius) : radius_(radius) {
    for (const cv::Point2f& p : train_at) {
      if (!finite(p)) continue;
      left_ = std::min(left_, p.x);
      top_ = std::min(top_, p.y);
    }
    for (int j = 0; j < int(train_at.size()); ++j) {
      if (finite(train_at[j])) cells_[cellOf(train_at[j])].push_back(j);
    }
  }

  static bool finite(const cv::Point2f& p) { return std::isfinite(p.x) && std::isfinite(p.y); }
  std::pair<int, int> cellOf(const cv::Point2f& p) const {
    return std::make_pair(static_cast<int>(std::floor((p.x - left_) / radius_)),
                          static_cast<int>(std::floor((p.y - top_) / radius_)));
  }
  // The rows of cell (x, y), in row order; null for an empty cell.
  const std::vector<int>* rowsOf(int x, int y) const {
    const auto cell = cells_.find({x, y});
    return cell == cells_.end() ? nullptr : &cell->second;
  }

 private:
  double radius_;
  float left_ = std::numeric_limits<float>::max(), top_ = std::numeric_limits<float>::max();
  std::map<std::pair<int, int>, std::vector<int>> cells_;
};

// The windowed search with `distance(i, j)` between query row i and train row j. Rows are
// offered cell by cell (3 x 3 around the expected place, row by row), each cell's rows in
// order, so that equal distances resolve alike whichever distance function runs.
template <typename RowDistance>
inline std::vector<NearestTwo> searchWindows(int query_rows,
                                             const std::vector<cv::Point2f>& expected_at,
                                             const std::vector<cv::Point2f>& train_at,
                                             double radius, RowDistance distance) {
  std::vector<NearestTwo> out(query_rows);
  const TrainCells cells(train_at, radius);
  const double radius2 = radius * radius;
  for (int i = 0; i < query_rows; ++i) {
    const cv::Point2f& at = expected_at[i];
    if (!TrainCells::finite(at)) continue;
    const auto [cx, cy] = cells.cellOf(at);
    NearestTwoSoFar<double> nearest;
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const std::vector<int>* rows = cells.rowsOf(cx + dx, cy + dy);
        if (!rows) continue;
        for (int j : *rows) {
          const double ex = train_at[j].x - at.x, ey = train_at[j].y - at.y;
          if (ex * ex + ey * ey > radius2) continue;
          nearest.offer(distance(i, j), j);
        }
      }
    }
    out[i] = nearest.result();
  }
  return out;
}

// The windowed search over 256-bit descriptors with the processor's population count, which
// the generic row distance would otherwise reach through a library call per word.
SFM_POPCOUNT_TARGET std::vector<NearestTwo> windowedBinary(
    const cv::Mat& query, const std::vector<cv::Point2f>& expected_at, const cv::Mat& train,
    const std::vector<cv::Point2f>& train_at, double radius) {
  return searchWindows(query.rows, expected_at, train_at, radius, [&](int i, int j) {
    uint64_t q[kBinaryWords], t[kBinaryWords];
    std::memcpy(q, query.ptr(i), sizeof(q));
    std::memcpy(t, train.ptr(j), sizeof(t));
    return double(__builtin_popcountll(q[0] ^ t[0]) + __builtin_popcountll(q[1] ^ t[1]) +
                  __builtin_popcountll(q[2] ^ t[2]) + __builtin_popcountll(q[3] ^ t[3]));
  });
}

bool isBinary256(const cv::Mat& query, const cv::Mat& train) {
  return query.depth() == CV_8U && query.cols == kBinaryWords * 8 && train.cols == query.cols &&
         train.depth() == CV_8U;
}

}  // namespace

std::vector<NearestTwo> nearestTwoWithin(const cv::Mat& query,
                                         const std::vector<cv::Point2f>& expected_at,
                                         const cv::Mat& train,
                                         const std::vector<cv::Point2f>& train_at, double radius) {
  if (query.empty() || train.empty() || !(radius > 0.0)) return std::vector<NearestTwo>(query.rows);
  static const bool popcount = hasPopcount();
  if (popcount && isBinary256(query, train))
    return windowedBinary(query, expected_at, train, train_at, radius);
  return searchWindows(query.rows, expected_at, train_at, radius,
                       [&](int i, int j) { return rowDistance(query, i, train, j); });
}

std::vector<NearestTwo> nearestTwo(const cv::Mat& query, const cv::Mat& train) {
  if (query.empty() || train.empty()) return std::vector<NearestTwo>(query.rows);
  static const bool popcount = hasPopcount();
  if (popcount && isBinary256(query, train)) {
#if SFM_WIDE_POPCOUNT
    static const bool wide = hasWidePopcount();
    if (wide) return nearestTwoBinaryWide(query, train);
#endif
    return nearestTwoBinary(query, train);
  }
  return nearestTwoGeneric(query, train);
}

}  // namespace sfm
