#include "descriptor_matching.h"

#include <opencv2/features2d.hpp>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
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
#define SFM_WIDE_VECTORS 1
#define SFM_WIDE_POPCOUNT_TARGET __attribute__((target("avx512f,avx512vpopcntdq")))
#define SFM_WIDE_BYTES_TARGET __attribute__((target("avx512f,avx512bw,avx512vnni")))
bool hasPopcount() { return __builtin_cpu_supports("popcnt"); }
bool hasWidePopcount() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vpopcntdq");
}
bool hasWideByteProducts() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vnni");
}
#else
#define SFM_POPCOUNT_TARGET
#define SFM_WIDE_VECTORS 0
bool hasPopcount() { return true; }
bool hasWidePopcount() { return false; }
#endif

std::atomic<bool> wide_vectors_allowed{true};

// The wide paths where the processor has them and they are allowed; the processor is asked
// once.
bool takeWidePopcount() {
  static const bool wide = hasWidePopcount();
  return wide && wide_vectors_allowed.load(std::memory_order_relaxed);
}
#if SFM_WIDE_VECTORS
bool takeWideByteProducts() {
  static const bool wide = hasWideByteProducts();
  return wide && wide_vectors_allowed.load(std::memory_order_relaxed);
}
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

#if SFM_WIDE_VECTORS
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

// Train rows by square cells of the radius's size (or larger), so that a query looks in the 3 x 3
// cells around where it is expected instead of at every row. The rows are stored cell after cell
// (each cell's in row order) in one array with the cells' starts beside it: a query reads
// each cell as one run, with no tree to walk.
class TrainCells {
 public:
  TrainCells(const std::vector<cv::Point2f>& train_at, double radius) : side_(radius) {
    float right = std::numeric_limits<float>::lowest(), bottom = right;
    for (const cv::Point2f& p : train_at) {
      if (!finite(p)) continue;
      left_ = std::min(left_, p.x);
      top_ = std::min(top_, p.y);
      right = std::max(right, p.x);
      bottom = std::max(bottom, p.y);
    }
    // A radius far below the rows' spread would make more cells than rows: wider cells still
    // hold every row within the radius of a place in the 3 x 3 around its cell.
    side_ = std::max(side_, std::max(double(right) - left_, double(bottom) - top_) / kMostCells);
    std::vector<int> cell_of(train_at.size(), -1);
    std::vector<std::pair<int, int>> at(train_at.size(), {-1, -1});
    for (size_t j = 0; j < train_at.size(); ++j) {
      if (!finite(train_at[j])) continue;
      at[j] = cellOf(train_at[j]);
      across_ = std::max(across_, at[j].first + 1);
      down_ = std::max(down_, at[j].second + 1);
    }
    start_.assign(size_t(across_) * down_ + 1, 0);
    for (size_t j = 0; j < train_at.size(); ++j) {
      if (at[j].first < 0) continue;
      cell_of[j] = at[j].second * across_ + at[j].first;
      ++start_[cell_of[j] + 1];
    }
    for (size_t c = 1; c < start_.size(); ++c) start_[c] += start_[c - 1];
    rows_.resize(start_.back());
    std::vector<int> next(start_.begin(), start_.end() - 1);
    for (size_t j = 0; j < train_at.size(); ++j) {
      if (cell_of[j] >= 0) rows_[next[cell_of[j]]++] = int(j);
    }
  }

  static bool finite(const cv::Point2f& p) { return std::isfinite(p.x) && std::isfinite(p.y); }
  std::pair<int, int> cellOf(const cv::Point2f& p) const {
    return std::make_pair(static_cast<int>(std::floor((p.x - left_) / side_)),
                          static_cast<int>(std::floor((p.y - top_) / side_)));
  }
  // The cell of an expected place, or nothing when no cell within `reach` cells of it holds a
  // row (a place far outside the train rows' spread, whose cell would not fit an int either).
  std::optional<std::pair<int, int>> searchedCell(const cv::Point2f& p, int reach = 1) const {
    const double x = std::floor((p.x - left_) / side_), y = std::floor((p.y - top_) / side_);
    if (!(x >= -reach && x < across_ + reach && y >= -reach && y < down_ + reach))
      return std::nullopt;
    return std::make_pair(static_cast<int>(x), static_cast<int>(y));
  }
  double side() const { return side_; }
  // The cell's place in the order of cells, row of cells by row of cells.
  int64_t indexOf(const cv::Point2f& p) const {
    const std::pair<int, int> cell = cellOf(p);
    return int64_t(cell.second) * across_ + cell.first;
  }
  // Where the rows of cells x0..x1 of the row of cells y start and end in `rows()`: one run,
  // as the cells are stored side by side; an empty run off the grid.
  std::pair<int, int> spanOf(int y, int x0, int x1) const {
    x0 = std::max(x0, 0);
    x1 = std::min(x1, across_ - 1);
    if (y < 0 || y >= down_ || x0 > x1) return {0, 0};
    const size_t row = size_t(y) * across_;
    return {start_[row + x0], start_[row + x1 + 1]};
  }
  // Where the rows of cell (x, y) start and end in `rows()`; an empty run off the grid.
  std::pair<int, int> runOf(int x, int y) const {
    if (x < 0 || y < 0 || x >= across_ || y >= down_) return {0, 0};
    const size_t c = size_t(y) * across_ + x;
    return {start_[c], start_[c + 1]};
  }
  const std::vector<int>& rows() const { return rows_; }
  // Rows a windowed search compares with queries expected at these places: those in the 3 x 3
  // cells around each.
  size_t candidates(const std::vector<cv::Point2f>& expected_at) const {
    size_t n = 0;
    for (const cv::Point2f& at : expected_at) {
      const std::optional<std::pair<int, int>> cell = finite(at) ? searchedCell(at) : std::nullopt;
      if (!cell) continue;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) {
          const auto [begin, end] = runOf(cell->first + dx, cell->second + dy);
          n += size_t(end - begin);
        }
    }
    return n;
  }

 private:
  static constexpr double kMostCells = 1024.0;  // across or down

  double side_;
  float left_ = std::numeric_limits<float>::max(), top_ = std::numeric_limits<float>::max();
  int across_ = 0, down_ = 0;
  std::vector<int> start_;  // per cell, row by row of cells, and the end of the last
  std::vector<int> rows_;   // train rows, cell after cell
};

// The windowed search: `offer_run(i, at, begin, end, nearest)` offers query row i the rows of
// one cell's run that lie within the radius of `at`. Runs are offered cell by cell (3 x 3
// around the expected place, row by row of cells), each in row order, so that equal distances
// resolve alike whichever distance function runs.
template <typename Distance, typename OfferRun>
inline std::vector<NearestTwo> searchWindows(int query_rows,
                                             const std::vector<cv::Point2f>& expected_at,
                                             const TrainCells& cells, OfferRun offer_run) {
  std::vector<NearestTwo> out(query_rows);
  for (int i = 0; i < query_rows; ++i) {
    const cv::Point2f& at = expected_at[i];
    if (!TrainCells::finite(at)) continue;
    NearestTwoSoFar<Distance> nearest;
    const std::optional<std::pair<int, int>> cell = cells.searchedCell(at);
    if (!cell) {
      out[i] = nearest.result();  // no row in reach
      continue;
    }
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const auto [begin, end] = cells.runOf(cell->first + dx, cell->second + dy);
        if (begin < end) offer_run(i, at, begin, end, nearest);
      }
    }
    out[i] = nearest.result();
  }
  return out;
}

// Whether a train row at `row_at` lies within the radius of `at` (the difference taken in the
// points' own precision).
inline bool inReach(const cv::Point2f& row_at, const cv::Point2f& at, double radius2) {
  const double ex = row_at.x - at.x, ey = row_at.y - at.y;
  return !(ex * ex + ey * ey > radius2);
}

std::vector<NearestTwo> windowedGeneric(const cv::Mat& query,
                                        const std::vector<cv::Point2f>& expected_at,
                                        const cv::Mat& train,
                                        const std::vector<cv::Point2f>& train_at, double radius,
                                        const TrainCells& cells) {
  const double radius2 = radius * radius;
  const std::vector<int>& rows = cells.rows();
  return searchWindows<double>(
      query.rows, expected_at, cells,
      [&](int i, const cv::Point2f& at, int begin, int end, NearestTwoSoFar<double>& nearest) {
        for (int k = begin; k < end; ++k) {
          const int j = rows[k];
          if (inReach(train_at[j], at, radius2)) nearest.offer(rowDistance(query, i, train, j), j);
        }
      });
}

// Train rows copied in the cells' order, so that a cell's run is read straight through: each
// row's descriptor words (word by word, so that one vector holds word k of eight rows), its
// place and its row index. Eight rows of padding follow the last, for whole vectors.
struct CellOrderedRows {
  CellOrderedRows(const TrainCells& cells, const cv::Mat& train,
                  const std::vector<cv::Point2f>& train_at)
      : padded(cells.rows().size() + 8),
        words(padded * kBinaryWords, 0),
        x(padded, 0.0f),
        y(padded, 0.0f),
        row(cells.rows()) {
    for (size_t k = 0; k < row.size(); ++k) {
      uint64_t w[kBinaryWords];
      std::memcpy(w, train.ptr(row[k]), sizeof(w));
      for (int b = 0; b < kBinaryWords; ++b) words[b * padded + k] = w[b];
      x[k] = train_at[row[k]].x;
      y[k] = train_at[row[k]].y;
    }
  }

  size_t padded;
  std::vector<uint64_t> words;
  std::vector<float> x, y;
  const std::vector<int>& row;
};

// Offers query words `q` the rows of the run [begin, end) within the radius of `at`.
SFM_POPCOUNT_TARGET inline void offerRun(const uint64_t* q, const cv::Point2f& at, double radius2,
                                         int begin, int end, const CellOrderedRows& rows,
                                         NearestTwoSoFar<int>& nearest) {
  const size_t n = rows.padded;
  const uint64_t* w = rows.words.data();
  for (int k = begin; k < end; ++k) {
    if (!inReach(cv::Point2f(rows.x[k], rows.y[k]), at, radius2)) continue;
    nearest.offer(__builtin_popcountll(q[0] ^ w[k]) + __builtin_popcountll(q[1] ^ w[n + k]) +
                      __builtin_popcountll(q[2] ^ w[2 * n + k]) +
                      __builtin_popcountll(q[3] ^ w[3 * n + k]),
                  rows.row[k]);
  }
}

#if SFM_WIDE_VECTORS
// The same eight rows at a time. Their distances from `at` are taken as the one-row search
// takes them (differences of floats, squared and summed as doubles, rounded at each step), so
// the same rows are in reach; of those, only the ones nearer than the second distance so far
// are offered, in order: the result is the one-row search's to the bit.
SFM_WIDE_POPCOUNT_TARGET void offerRunWide(const uint64_t* q, const cv::Point2f& at, double radius2,
                                           int begin, int end, const CellOrderedRows& rows,
                                           NearestTwoSoFar<int>& nearest) {
  constexpr int kLanes = 8;
  constexpr int kRound = _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC;
  constexpr __mmask8 kAll = 0xff;  // every lane (the masked forms start from zeros)
  const size_t n = rows.padded;
  const uint64_t* w = rows.words.data();
  const __m512i q0 = _mm512_set1_epi64(int64_t(q[0])), q1 = _mm512_set1_epi64(int64_t(q[1]));
  const __m512i q2 = _mm512_set1_epi64(int64_t(q[2])), q3 = _mm512_set1_epi64(int64_t(q[3]));
  const __m256 ax = _mm256_set1_ps(at.x), ay = _mm256_set1_ps(at.y);
  const __m512d reach = _mm512_set1_pd(radius2);
  for (int k = begin; k < end; k += kLanes) {
    const __m512d ex = _mm512_maskz_cvtps_pd(kAll, _mm256_sub_ps(_mm256_loadu_ps(&rows.x[k]), ax));
    const __m512d ey = _mm512_maskz_cvtps_pd(kAll, _mm256_sub_ps(_mm256_loadu_ps(&rows.y[k]), ay));
    // Rounded products and sum, never fused into one step.
    const __m512d d2 =
        _mm512_maskz_add_round_pd(kAll, _mm512_maskz_mul_round_pd(kAll, ex, ex, kRound),
                                  _mm512_maskz_mul_round_pd(kAll, ey, ey, kRound), kRound);
    __mmask8 wanted = _mm512_cmp_pd_mask(d2, reach, _CMP_NGT_UQ);
    wanted &= __mmask8((1u << std::min(kLanes, end - k)) - 1u);
    if (!wanted) continue;
    __m512i d = _mm512_popcnt_epi64(_mm512_xor_si512(q0, _mm512_loadu_si512(w + k)));
    d = _mm512_add_epi64(d,
                         _mm512_popcnt_epi64(_mm512_xor_si512(q1, _mm512_loadu_si512(w + n + k))));
    d = _mm512_add_epi64(
        d, _mm512_popcnt_epi64(_mm512_xor_si512(q2, _mm512_loadu_si512(w + 2 * n + k))));
    d = _mm512_add_epi64(
        d, _mm512_popcnt_epi64(_mm512_xor_si512(q3, _mm512_loadu_si512(w + 3 * n + k))));
    wanted &= _mm512_cmplt_epi64_mask(d, _mm512_set1_epi64(nearest.second()));
    if (!wanted) continue;
    alignas(64) int64_t distance[kLanes];
    _mm512_store_si512(distance, d);
    for (int lane = 0; lane < kLanes; ++lane)
      if (wanted >> lane & 1) nearest.offer(int(distance[lane]), rows.row[k + lane]);
  }
}
#endif

// The windowed search over 256-bit descriptors with the processor's population count, which
// the generic row distance would otherwise reach through a library call per word; eight rows at
// a time where the processor counts bits in wide vectors.
SFM_POPCOUNT_TARGET std::vector<NearestTwo> windowedBinary(
    const cv::Mat& query, const std::vector<cv::Point2f>& expected_at, const cv::Mat& train,
    const std::vector<cv::Point2f>& train_at, double radius, bool wide) {
  const TrainCells cells(train_at, radius);
  const CellOrderedRows rows(cells, train, train_at);
  const double radius2 = radius * radius;
#if SFM_WIDE_VECTORS
  auto offer = wide ? offerRunWide : offerRun;
#else
  (void)wide;
  auto offer = offerRun;
#endif
  return searchWindows<int>(
      query.rows, expected_at, cells,
      [&](int i, const cv::Point2f& at, int begin, int end, NearestTwoSoFar<int>& nearest) {
        uint64_t q[kBinaryWords];
        std::memcpy(q, query.ptr(i), sizeof(q));
        offer(q, at, radius2, begin, end, rows, nearest);
      });
}

#if SFM_WIDE_VECTORS
// Real descriptors whose values are whole numbers 0..255 (SIFT's, 128 of them) are searched as
// bytes with the processor's wide byte products where it has them (elsewhere by the generic
// search, several times slower): their squared distances are whole numbers below 2^24, which
// the float sums of the generic search also hold exactly, so both find the same rows at the
// same distances.
constexpr int kByteValues = 128;
constexpr int kByteWords = kByteValues / 4;  // four values to a 32-bit word
constexpr int kByteLanes = 16;               // rows in one wide vector of words

// The rows as bytes (one 8-bit matrix), or nothing when a value is not a whole number 0..255
// (or the rows are not 128 floats). Sixteen values at a time: each is clamped to 0..255 (a NaN
// to 0), cut to a whole number and compared with itself; one that changed is not a byte.
SFM_WIDE_BYTES_TARGET std::optional<cv::Mat> wholeBytes(const cv::Mat& m) {
  if (m.type() != CV_32FC1 || m.cols != kByteValues) return std::nullopt;
  constexpr __mmask16 kAll = 0xffff;  // every lane (the masked forms start from zeros)
  cv::Mat bytes(m.rows, kByteValues, CV_8U);
  const __m512 low = _mm512_setzero_ps(), high = _mm512_set1_ps(255.0f);
  for (int i = 0; i < m.rows; ++i) {
    const float* p = m.ptr<float>(i);
    uint8_t* b = bytes.ptr<uint8_t>(i);
    for (int k = 0; k < kByteValues; k += 16) {
      const __m512 v = _mm512_loadu_ps(p + k);
      const __m512i whole = _mm512_maskz_cvttps_epi32(
          kAll, _mm512_maskz_min_ps(kAll, _mm512_maskz_max_ps(kAll, v, low), high));
      if (_mm512_cmp_ps_mask(_mm512_maskz_cvtepi32_ps(kAll, whole), v, _CMP_EQ_OQ) != kAll)
        return std::nullopt;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(b + k), _mm512_maskz_cvtepi32_epi8(kAll, whole));
    }
  }
  return bytes;
}

// One query row's squared length, and its values less 128 as signed bytes, four to a word
// (the wide products take one side signed).
struct ByteQuery {
  uint32_t centred[kByteWords];
  int32_t length2 = 0;
};

std::vector<ByteQuery> byteQueries(const cv::Mat& bytes) {
  std::vector<ByteQuery> out(bytes.rows);
  for (int i = 0; i < bytes.rows; ++i) {
    ByteQuery& q = out[i];
    const uint8_t* values = bytes.ptr<uint8_t>(i);
    uint8_t centred[kByteValues];
    for (int k = 0; k < kByteValues; ++k) {
      q.length2 += int32_t(values[k]) * values[k];
      centred[k] = values[k] ^ 0x80;
    }
    std::memcpy(q.centred, centred, sizeof(centred));
  }
  return out;
}

// Train rows of bytes in a given order (the cells' order for the windowed search): each row's
// words word by word, so that one vector holds word g of sixteen rows, with rows of zeros after
// the last (at least sixteen, and to whole pairs of vectors); and per row its squared length
// less 256 times its sum, its share of a squared distance taken by products with a query's
// centred values:
// |q - t|^2 = |q|^2 + (|t|^2 - 256 sum t) - 2 t.(q - 128).
struct ByteRows {
  ByteRows(const cv::Mat& bytes, const std::vector<int>& order)
      : padded((order.size() + 3 * kByteLanes - 1) / (2 * kByteLanes) * (2 * kByteLanes)),
        words(padded * kByteWords, 0),
        share(padded, 0),
        row(order) {
    for (size_t k = 0; k < row.size(); ++k) {
      const uint8_t* values = bytes.ptr<uint8_t>(row[k]);
      int32_t length2 = 0, sum = 0;
      for (int v = 0; v < kByteValues; ++v) {
        length2 += int32_t(values[v]) * values[v];
        sum += values[v];
      }
      uint32_t w[kByteWords];
      std::memcpy(w, values, sizeof(w));
      for (int g = 0; g < kByteWords; ++g) words[g * padded + k] = w[g];
      share[k] = length2 - 256 * sum;
    }
  }

  size_t padded;
  std::vector<uint32_t> words;
  std::vector<int32_t> share;
  const std::vector<int>& row;
};

// The squared distances of a query from the sixteen rows from `k` on.
SFM_WIDE_BYTES_TARGET inline __m512i squaredDistances(const ByteQuery& q, const ByteRows& rows,
                                                      int k) {
  const size_t n = rows.padded;
  const uint32_t* w = rows.words.data();
  // Four sums, so that the products of one block need not wait for each other; the loops are
  // unrolled whole, so that the sums stay in registers.
  __m512i s[4] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                  _mm512_setzero_si512()};
#pragma GCC unroll 16
  for (int g = 0; g < kByteWords; g += 4) {
#pragma GCC unroll 16
    for (int u = 0; u < 4; ++u)
      s[u] = _mm512_dpbusd_epi32(s[u], _mm512_loadu_si512(w + (g + u) * n + k),
                                 _mm512_set1_epi32(int32_t(q.centred[g + u])));
  }
  const __m512i products =
      _mm512_add_epi32(_mm512_add_epi32(s[0], s[1]), _mm512_add_epi32(s[2], s[3]));
  return _mm512_sub_epi32(
      _mm512_add_epi32(_mm512_set1_epi32(q.length2), _mm512_loadu_si512(&rows.share[k])),
      _mm512_add_epi32(products, products));
}

// Per train row (in the order ByteRows holds them), the query row nearest it among those
// offered so far: what the search the other way, of train rows among the query rows, finds
// nearest. Every pair that search compares is compared here too, so it is kept along the way
// rather than searched again. Queries are offered in the order of their index; of equally near
// ones the earliest stays (or, with ranks, the one of least rank).
struct NearestQueries {
  explicit NearestQueries(size_t padded)
      : d2(padded, std::numeric_limits<int32_t>::max()), query(padded, -1) {}

  // The query rows per train row of `order` (train row order[k] at k), -1 where none was near.
  std::vector<int> byTrainRow(const std::vector<int>& order, int train_rows) const {
    std::vector<int> out(train_rows, -1);
    for (size_t k = 0; k < order.size(); ++k) out[order[k]] = query[k];
    return out;
  }

  std::vector<int32_t> d2;
  std::vector<int32_t> query;
  std::vector<int64_t> rank;  // of the query kept, for ranked searches
};

// Keeps queries `i`, `i + 1`... (squared distances `d2[a]` from the sixteen train rows from `k`
// on) for the rows they are nearer than any query before. The rows' nearest so far are read and
// written once for all of them.
template <int kQueries>
SFM_WIDE_BYTES_TARGET inline void keepNearerQueries(const __m512i* d2, int i, int k,
                                                    NearestQueries& queries) {
  __m512i least = _mm512_loadu_si512(&queries.d2[k]);
  __m512i query = _mm512_loadu_si512(&queries.query[k]);
#pragma GCC unroll 16
  for (int a = 0; a < kQueries; ++a) {
    const __mmask16 nearer = _mm512_cmplt_epi32_mask(d2[a], least);
    least = _mm512_mask_mov_epi32(least, nearer, d2[a]);
    query = _mm512_mask_mov_epi32(query, nearer, _mm512_set1_epi32(i + a));
  }
  _mm512_storeu_si512(&queries.d2[k], least);
  _mm512_storeu_si512(&queries.query[k], query);
}

template <bool kBothWays>
SFM_WIDE_BYTES_TARGET void offerBytesWide(const ByteQuery& q, int i, int end, const ByteRows& rows,
                                          NearestTwoSoFar<int>& nearest, NearestQueries* back) {
  for (int k = 0; k < end; k += kByteLanes) {
    const __m512i d2 = squaredDistances(q, rows, k);
    if constexpr (kBothWays) keepNearerQueries<1>(&d2, i, k, *back);
    __mmask16 nearer = _mm512_cmplt_epi32_mask(d2, _mm512_set1_epi32(nearest.second()));
    nearer &= __mmask16((1u << std::min(kByteLanes, end - k)) - 1u);
    if (!nearer) continue;
    alignas(64) int32_t distance[kByteLanes];
    _mm512_store_si512(distance, d2);
    for (int lane = 0; lane < kByteLanes; ++lane)
      if (nearer >> lane & 1) nearest.offer(distance[lane], rows.row[k + lane]);
  }
}

// The exhaustive search for four queries at once (from row `i` on), thirty-two rows at a time:
// each vector of train words read serves all four queries, and each query word two vectors.
// Rows are offered as by offerBytesWide, query by query. The loops over the queries, rows and
// words are unrolled whole, so that the eight sums stay in registers.
template <bool kBothWays>
SFM_WIDE_BYTES_TARGET void offerBytesWideFour(const ByteQuery* q, int i, int end,
                                              const ByteRows& rows, NearestTwoSoFar<int>* nearest,
                                              NearestQueries* back) {
  constexpr int kQueries = 4;
  constexpr int kBlocks = 2;  // of sixteen rows, read together
  const size_t n = rows.padded;
  const uint32_t* w = rows.words.data();
  for (int k = 0; k < end; k += kBlocks * kByteLanes) {
    __m512i s[kQueries][kBlocks];
#pragma GCC unroll 16
    for (int a = 0; a < kQueries; ++a)
#pragma GCC unroll 16
      for (int b = 0; b < kBlocks; ++b) s[a][b] = _mm512_setzero_si512();
#pragma GCC unroll 32
    for (int g = 0; g < kByteWords; ++g) {
      __m512i t[kBlocks];
#pragma GCC unroll 16
      for (int b = 0; b < kBlocks; ++b) t[b] = _mm512_loadu_si512(w + g * n + k + b * kByteLanes);
#pragma GCC unroll 16
      for (int a = 0; a < kQueries; ++a) {
        const __m512i centred = _mm512_set1_epi32(int32_t(q[a].centred[g]));
#pragma GCC unroll 16
        for (int b = 0; b < kBlocks; ++b) s[a][b] = _mm512_dpbusd_epi32(s[a][b], t[b], centred);
      }
    }
    __m512i d2[kBlocks][kQueries];
    __mmask16 valid[kBlocks];
#pragma GCC unroll 16
    for (int b = 0; b < kBlocks; ++b) {
      const int start = k + b * kByteLanes;
      const __m512i share = _mm512_loadu_si512(&rows.share[start]);
      // Rows past the end (the padding) are never offered.
      const int left = std::clamp(end - start, 0, kByteLanes);
      valid[b] = __mmask16((1u << left) - 1u);
#pragma GCC unroll 16
      for (int a = 0; a < kQueries; ++a)
        d2[b][a] = _mm512_sub_epi32(_mm512_add_epi32(_mm512_set1_epi32(q[a].length2), share),
                                    _mm512_add_epi32(s[a][b], s[a][b]));
      if constexpr (kBothWays) keepNearerQueries<kQueries>(d2[b], i, start, *back);
    }
#pragma GCC unroll 16
    for (int a = 0; a < kQueries; ++a) {
#pragma GCC unroll 16
      for (int b = 0; b < kBlocks; ++b) {
        const __mmask16 nearer =
            _mm512_cmplt_epi32_mask(d2[b][a], _mm512_set1_epi32(nearest[a].second())) & valid[b];
        if (!nearer) continue;
        alignas(64) int32_t distance[kByteLanes];
        _mm512_store_si512(distance, d2[b][a]);
        for (int lane = 0; lane < kByteLanes; ++lane)
          if (nearer >> lane & 1)
            nearest[a].offer(distance[lane], rows.row[k + b * kByteLanes + lane]);
      }
    }
  }
}

// Euclidean distances from squared ones: in single precision for the exhaustive search, as
// OpenCV's matcher gives them, and in double for the windowed one, as the generic row distance
// does (an infinite square, no row, stays infinite).
NearestTwo withSingleDistances(NearestTwo n) {
  n.best_distance = std::sqrt(float(n.best_distance));
  n.second_distance = std::sqrt(float(n.second_distance));
  return n;
}
NearestTwo withDoubleDistances(NearestTwo n) {
  n.best_distance = std::sqrt(n.best_distance);
  n.second_distance = std::sqrt(n.second_distance);
  return n;
}

// The exhaustive search over rows of bytes (as wholeBytes gives them); with `nearest_query`, also
// the nearest query row of every train row.
template <bool kBothWays>
std::vector<NearestTwo> nearestTwoBytes(const cv::Mat& query, const cv::Mat& train,
                                        std::vector<int>* nearest_query) {
  std::vector<int> order(train.rows);
  for (int j = 0; j < train.rows; ++j) order[j] = j;
  const ByteRows rows(train, order);
  const std::vector<ByteQuery> queries = byteQueries(query);
  std::optional<NearestQueries> back;
  if constexpr (kBothWays) back.emplace(rows.padded);
  NearestQueries* const kept = back ? &*back : nullptr;
  std::vector<NearestTwo> out(query.rows);
  int i = 0;
  for (; i + 4 <= query.rows; i += 4) {
    NearestTwoSoFar<int> nearest[4];
    offerBytesWideFour<kBothWays>(&queries[i], i, train.rows, rows, nearest, kept);
    for (int a = 0; a < 4; ++a) out[i + a] = withSingleDistances(nearest[a].result());
  }
  for (; i < query.rows; ++i) {
    NearestTwoSoFar<int> nearest;
    offerBytesWide<kBothWays>(queries[i], i, train.rows, rows, nearest, kept);
    out[i] = withSingleDistances(nearest.result());
  }
  if constexpr (kBothWays) *nearest_query = back->byTrainRow(order, train.rows);
  return out;
}

// The nearest two among rows offered in any order, as NearestTwoSoFar finds them among the same
// rows offered in the order of their ranks: of rows equally near, the one of least rank is the
// nearest.
class RankedNearestTwo {
 public:
  void offer(int32_t d, int j, int64_t rank) {
    if (d < best_ || (d == best_ && rank < best_rank_)) {
      second_ = best_;
      best_ = d;
      best_j_ = j;
      best_rank_ = rank;
    } else if (d < second_) {
      second_ = d;
    }
  }
  // Rows at the second distance so far may still be nearest, by rank.
  int32_t second() const { return second_; }
  NearestTwo result() const {
    NearestTwo n;
    n.best = best_j_;
    n.best_distance = best_ == kNone ? std::numeric_limits<double>::infinity() : double(best_);
    n.second_distance =
        second_ == kNone ? std::numeric_limits<double>::infinity() : double(second_);
    return n;
  }

 private:
  static constexpr int32_t kNone = std::numeric_limits<int32_t>::max();
  int32_t best_ = kNone, second_ = kNone;
  int best_j_ = -1;
  int64_t best_rank_ = std::numeric_limits<int64_t>::max();
};

// Cells a third of the radius wide: a query reads the rows of 7 x 7 of them, little more than
// its disc, where 3 x 3 cells of the radius cover nearly three times the disc.
constexpr double kFineCellsPerRadius = 3.0;

// Which of eight places, by their differences from a centre in floats, lie within the radius
// (`radius2` its square), as inReach tells: the squares of the float differences are exact in
// double, so that only their sum is rounded, as there.
SFM_WIDE_BYTES_TARGET inline __mmask8 withinEight(__m256 ex, __m256 ey, __m512d radius2) {
  constexpr __mmask8 kAll = 0xff;  // every lane (the masked forms start from zeros)
  const __m512d dx = _mm512_maskz_cvtps_pd(kAll, ex), dy = _mm512_maskz_cvtps_pd(kAll, ey);
  return _mm512_cmp_pd_mask(_mm512_add_pd(_mm512_mul_pd(dx, dx), _mm512_mul_pd(dy, dy)), radius2,
                            _CMP_NGT_UQ);
}
// The first (0) or the last (1) eight of sixteen values.
template <int kHalf>
SFM_WIDE_BYTES_TARGET inline __m256 eightOf(__m512 v) {
  return _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xff, _mm512_castps_pd(v), kHalf));
}
// Which of the sixteen places from `x`, `y` on lie within the radius of `at`.
SFM_WIDE_BYTES_TARGET inline __mmask16 inReachOfSixteen(const float* x, const float* y,
                                                        const cv::Point2f& at, double radius2) {
  const __m512 ex = _mm512_sub_ps(_mm512_loadu_ps(x), _mm512_set1_ps(at.x));
  const __m512 ey = _mm512_sub_ps(_mm512_loadu_ps(y), _mm512_set1_ps(at.y));
  const __m512d reach = _mm512_set1_pd(radius2);
  return __mmask16(withinEight(eightOf<0>(ex), eightOf<0>(ey), reach) |
                   withinEight(eightOf<1>(ex), eightOf<1>(ey), reach) << 8);
}

// The windowed search over rows of bytes, each query reading its window's rows of fine cells one
// row of cells at a time. A row's rank is its place in the order searchWindows offers rows in
// (the 3 x 3 cells of `cells` row by row, each in row order), so that equally near rows resolve
// as there.
SFM_WIDE_BYTES_TARGET std::vector<NearestTwo> windowedBytes(
    const cv::Mat& query, const std::vector<cv::Point2f>& expected_at, const cv::Mat& train,
    const std::vector<cv::Point2f>& train_at, double radius, const TrainCells& cells,
    std::vector<int>* nearest_query) {
  const TrainCells fine(train_at, radius / kFineCellsPerRadius);
  const int reach = static_cast<int>(std::ceil(radius / fine.side()));
  const ByteRows rows(train, fine.rows());
  std::vector<int64_t> rank(rows.row.size());
  std::vector<float> x(rows.padded, 0.0f), y(rows.padded, 0.0f);  // places in the rows' order
  for (size_t k = 0; k < rank.size(); ++k) {
    const cv::Point2f& place = train_at[rows.row[k]];
    rank[k] = cells.indexOf(place) * train.rows + rows.row[k];
    x[k] = place.x;
    y[k] = place.y;
  }
  // The way back, each train row looked for among the query rows around its own place, ranks
  // the query rows by the cells of their expected places: of equally near ones, the least
  // rank is kept.
  std::optional<NearestQueries> back;
  std::vector<int64_t> back_rank;
  if (nearest_query) {
    back.emplace(rows.padded);
    const TrainCells query_cells(expected_at, radius);
    back_rank.resize(query.rows);
    for (int i = 0; i < query.rows; ++i)
      if (TrainCells::finite(expected_at[i]))
        back_rank[i] = query_cells.indexOf(expected_at[i]) * query.rows + i;
    back->rank.assign(rows.padded, std::numeric_limits<int64_t>::max());
  }
  const std::vector<ByteQuery> queries = byteQueries(query);
  const double radius2 = radius * radius;
  std::vector<NearestTwo> out(query.rows);
  for (int i = 0; i < query.rows; ++i) {
    const cv::Point2f& at = expected_at[i];
    if (!TrainCells::finite(at)) continue;
    RankedNearestTwo nearest;
    const std::optional<std::pair<int, int>> cell = fine.searchedCell(at, reach);
    for (int dy = -reach; cell && dy <= reach; ++dy) {
      const auto [begin, end] =
          fine.spanOf(cell->second + dy, cell->first - reach, cell->first + reach);
      for (int k = begin; k < end; k += kByteLanes) {
        const __m512i d2 = squaredDistances(queries[i], rows, k);
        // Lanes past the span's end hold no row.
        const __mmask16 in_span = __mmask16((1u << std::min(kByteLanes, end - k)) - 1u);
        __mmask16 nearer =
            _mm512_cmple_epi32_mask(d2, _mm512_set1_epi32(nearest.second())) & in_span;
        __mmask16 nearer_back =
            back ? _mm512_cmple_epi32_mask(d2, _mm512_loadu_si512(&back->d2[k])) & in_span : 0;
        if (!(nearer | nearer_back)) continue;
        const __mmask16 in_reach = inReachOfSixteen(&x[k], &y[k], at, radius2);
        nearer &= in_reach;
        nearer_back &= in_reach;
        if (!(nearer | nearer_back)) continue;
        alignas(64) int32_t distance[kByteLanes];
        _mm512_store_si512(distance, d2);
        for (int lane = 0; lane < kByteLanes; ++lane) {
          if (!((nearer | nearer_back) >> lane & 1)) continue;
          const int j = rows.row[k + lane];
          if (nearer >> lane & 1) nearest.offer(distance[lane], j, rank[k + lane]);
          if (nearer_back >> lane & 1) {
            const size_t c = size_t(k + lane);
            if (distance[lane] < back->d2[c] || back_rank[i] < back->rank[c]) {
              back->d2[c] = distance[lane];
              back->query[c] = i;
              back->rank[c] = back_rank[i];
            }
          }
        }
      }
    }
    out[i] = withDoubleDistances(nearest.result());
  }
  if (back) *nearest_query = back->byTrainRow(rows.row, train.rows);
  return out;
}

// Both rows' matrices as bytes, when the processor has wide byte products and they are rows of
// whole bytes.
std::optional<std::pair<cv::Mat, cv::Mat>> wideByteRows(const cv::Mat& query,
                                                        const cv::Mat& train) {
  if (!takeWideByteProducts()) return std::nullopt;
  std::optional<cv::Mat> query_bytes = wholeBytes(query);
  if (!query_bytes) return std::nullopt;
  std::optional<cv::Mat> train_bytes = wholeBytes(train);
  if (!train_bytes) return std::nullopt;
  return std::make_pair(std::move(*query_bytes), std::move(*train_bytes));
}
#endif

bool isBinary256(const cv::Mat& query, const cv::Mat& train) {
  return query.depth() == CV_8U && query.cols == kBinaryWords * 8 && train.cols == query.cols &&
         train.depth() == CV_8U;
}

void checkPlaces(const cv::Mat& query, const std::vector<cv::Point2f>& expected_at,
                 const cv::Mat& train, const std::vector<cv::Point2f>& train_at) {
  if (expected_at.size() != size_t(query.rows) || train_at.size() != size_t(train.rows))
    throw std::invalid_argument("nearestTwoWithin: a place for every query and train row");
}

// nearestTwoWithin; where the search compares every pair in reach (rows of bytes), with
// `nearest_query` set to the nearest query row of each train row, as the search the other way
// finds it (`expected_at` being where the query rows lie among the train rows), and left
// empty otherwise.
std::vector<NearestTwo> searchWithin(const cv::Mat& query,
                                     const std::vector<cv::Point2f>& expected_at,
                                     const cv::Mat& train, const std::vector<cv::Point2f>& train_at,
                                     double radius, std::vector<int>* nearest_query) {
  if (query.empty() || train.empty() || !(radius > 0.0)) return std::vector<NearestTwo>(query.rows);
  static const bool popcount = hasPopcount();
  if (popcount && isBinary256(query, train)) {
    return windowedBinary(query, expected_at, train, train_at, radius, takeWidePopcount());
  }
  const TrainCells cells(train_at, radius);
#if SFM_WIDE_VECTORS
  // Setting the rows out as bytes costs about what the row-by-row search spends on as many
  // candidate rows as there are rows: narrow windows, with fewer candidates, are searched row
  // by row (both searches find the same).
  if (cells.candidates(expected_at) >= size_t(query.rows) + size_t(train.rows)) {
    if (const auto bytes = wideByteRows(query, train))
      return windowedBytes(bytes->first, expected_at, bytes->second, train_at, radius, cells,
                           nearest_query);
  }
#endif
  return windowedGeneric(query, expected_at, train, train_at, radius, cells);
}

// nearestTwo, with `nearest_query` as searchWithin gives it.
std::vector<NearestTwo> search(const cv::Mat& query, const cv::Mat& train,
                               std::vector<int>* nearest_query) {
  if (query.empty() || train.empty()) return std::vector<NearestTwo>(query.rows);
  static const bool popcount = hasPopcount();
  if (popcount && isBinary256(query, train)) {
#if SFM_WIDE_VECTORS
    if (takeWidePopcount()) return nearestTwoBinaryWide(query, train);
#endif
    return nearestTwoBinary(query, train);
  }
#if SFM_WIDE_VECTORS
  if (const auto bytes = wideByteRows(query, train)) {
    return nearest_query ? nearestTwoBytes<true>(bytes->first, bytes->second, nearest_query)
                         : nearestTwoBytes<false>(bytes->first, bytes->second, nullptr);
  }
#endif
  return nearestTwoGeneric(query, train);
}

}  // namespace

std::vector<NearestTwo> nearestTwoWithin(const cv::Mat& query,
                                         const std::vector<cv::Point2f>& expected_at,
                                         const cv::Mat& train,
                                         const std::vector<cv::Point2f>& train_at, double radius) {
  checkPlaces(query, expected_at, train, train_at);
  return searchWithin(query, expected_at, train, train_at, radius, nullptr);
}

std::vector<NearestTwo> nearestTwo(const cv::Mat& query, const cv::Mat& train) {
  return search(query, train, nullptr);
}

std::vector<std::pair<int, int>> mutualMatches(const cv::Mat& query, const cv::Mat& train,
                                               double ratio,
                                               const std::vector<cv::Point2f>* query_in_train,
                                               const std::vector<cv::Point2f>& train_at,
                                               double radius) {
  std::vector<std::pair<int, int>> out;
  if (query.rows < 2 || train.rows < 2) return out;
  const bool windowed = query_in_train && radius > 0.0;
  if (windowed) checkPlaces(query, *query_in_train, train, train_at);
  std::vector<int> nearest_query;
  const std::vector<NearestTwo> forward =
      windowed ? searchWithin(query, *query_in_train, train, train_at, radius, &nearest_query)
               : search(query, train, &nearest_query);
  std::vector<std::pair<int, int>> passed;
  for (size_t i = 0; i < forward.size(); ++i) {
    const NearestTwo& m = forward[i];
    if (m.best >= 0 && m.best_distance < ratio * m.second_distance)
      passed.emplace_back(int(i), m.best);
  }
  if (passed.empty()) return out;
  if (nearest_query.empty()) {
    // The search there kept nothing of the way back: the chosen train rows are searched for
    // among the query rows.
    cv::Mat chosen(int(passed.size()), train.cols, train.type());
    std::vector<cv::Point2f> chosen_at(passed.size());
    for (size_t k = 0; k < passed.size(); ++k) {
      train.row(passed[k].second).copyTo(chosen.row(int(k)));
      chosen_at[k] = train_at[passed[k].second];
    }
    const std::vector<NearestTwo> backward =
        windowed ? searchWithin(chosen, chosen_at, query, *query_in_train, radius, nullptr)
                 : search(chosen, query, nullptr);
    for (size_t k = 0; k < passed.size(); ++k)
      if (backward[k].best == passed[k].first) out.push_back(passed[k]);
    return out;
  }
  for (const auto& [i, j] : passed)
    if (nearest_query[j] == i) out.emplace_back(i, j);
  return out;
}

void allowWideVectors(bool allowed) { wide_vectors_allowed.store(allowed); }

}  // namespace sfm
