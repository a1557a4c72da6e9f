#include "src/PointsFusion/src/stereo_dense/mutual_matches.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace mutual_matches {

namespace {

// Descriptor rows as 64-bit words, zero-padded: the distance is the popcount of the xor.
std::vector<uint64_t> packed(const cv::Mat& descriptors, int words) {
  std::vector<uint64_t> out(size_t(descriptors.rows) * words, 0);
  for (int r = 0; r < descriptors.rows; ++r)
    std::memcpy(&out[size_t(r) * words], descriptors.ptr(r), size_t(descriptors.cols));
  return out;
}

// The nearest and second nearest descriptor of the other side seen so far.
struct Nearest {
  int best = std::numeric_limits<int>::max();
  int second = std::numeric_limits<int>::max();
  int index = -1;
  void offer(int distance, int i) {
    if (distance < best) {
      second = best;
      best = distance;
      index = i;
    } else if (distance < second) {
      second = distance;
    }
  }
};

struct Sides {
  const uint64_t* from;
  int fromRows;
  const uint64_t* to;
  int toRows;
  int words;
  Nearest* forward;
  Nearest* backward;
};

// Every distance once, offered to both of its rows. Inlined into a plain build and into one
// for processors with a popcount instruction, which makes it several times faster.
inline __attribute__((always_inline)) void offerAll(const Sides& s) {
  for (int i = 0; i < s.fromRows; ++i) {
    const uint64_t* a = s.from + size_t(i) * s.words;
    Nearest nearest = s.forward[i];
    for (int j = 0; j < s.toRows; ++j) {
      const uint64_t* b = s.to + size_t(j) * s.words;
      int distance = 0;
      for (int w = 0; w < s.words; ++w) distance += __builtin_popcountll(a[w] ^ b[w]);
      nearest.offer(distance, j);
      s.backward[j].offer(distance, i);
    }
    s.forward[i] = nearest;
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("popcnt"))) void offerAllWithPopcount(const Sides& s) { offerAll(s); }
void offerAllPlain(const Sides& s) { offerAll(s); }
void offerEverything(const Sides& s) {
  static const bool popcount = __builtin_cpu_supports("popcnt");
  popcount ? offerAllWithPopcount(s) : offerAllPlain(s);
}
#else
void offerEverything(const Sides& s) { offerAll(s); }
#endif

}  // namespace

std::vector<std::pair<int, int>> find(const cv::Mat& from, const cv::Mat& to, double ratio) {
  std::vector<std::pair<int, int>> pairs;
  if (from.rows < 2 || to.rows < 2 || from.type() != CV_8UC1 || to.type() != CV_8UC1 ||
      from.cols != to.cols || from.cols == 0)
    return pairs;
  const int words = (from.cols + 7) / 8;
  const std::vector<uint64_t> a = packed(from, words), b = packed(to, words);
  std::vector<Nearest> forward(from.rows), backward(to.rows);
  offerEverything({a.data(), from.rows, b.data(), to.rows, words, forward.data(), backward.data()});
  // Each side was offered at least two rows, so `second` is a distance.
  const auto clear = [ratio](const Nearest& n) { return n.best < ratio * n.second ? n.index : -1; };
  for (int i = 0; i < from.rows; ++i) {
    const int j = clear(forward[i]);
    if (j >= 0 && clear(backward[j]) == i) pairs.emplace_back(i, j);
  }
  return pairs;
}

}  // namespace mutual_matches
