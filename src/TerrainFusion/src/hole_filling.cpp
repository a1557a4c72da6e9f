#include "src/TerrainFusion/src/hole_filling.h"

#include "src/TerrainFusion/src/laplacian_pyramid.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace {

// Rows of the coarser level made or read per band: the full-size rows are only ever held a
// band at a time, so no full-size copy of the block is made (a wide frame's block would
// otherwise take tens of megabytes, and fault in fresh pages every frame).
constexpr int kBandRows = 32;

// Full-size rows [first, end) as the first push reads them, scaled by 256: the colours where
// seen, else 0, and the masses (256 where seen, else 0).
void scaledSeenRows(const cv::Mat& dom, const cv::Mat& weight, int first, int end, cv::Mat& colours,
                    cv::Mat& masses) {
  colours.create(end - first, dom.cols, CV_16UC3);
  masses.create(end - first, dom.cols, CV_16UC1);
  for (int y = first; y < end; ++y) {
    const uchar* d = dom.ptr<uchar>(y);
    const uchar* w = weight.ptr<uchar>(y);
    ushort* c = colours.ptr<ushort>(y - first);
    ushort* m = masses.ptr<ushort>(y - first);
    int x = 0;
#if CV_SIMD
    const int lanes = cv::v_uint8::nlanes, half = lanes / 2;
    const cv::v_uint8 zero = cv::vx_setzero_u8(), one = cv::vx_setall_u8(1);
    for (; x + lanes <= dom.cols; x += lanes) {
      cv::v_uint8 b, g, r;
      cv::v_load_deinterleave(d + 3 * x, b, g, r);
      const cv::v_uint8 seen = cv::vx_load(w + x) != zero;
      cv::v_uint16 b0, b1, g0, g1, r0, r1, m0, m1;
      cv::v_expand(b & seen, b0, b1);
      cv::v_expand(g & seen, g0, g1);
      cv::v_expand(r & seen, r0, r1);
      cv::v_expand(one & seen, m0, m1);
      cv::v_store_interleave(c + 3 * x, b0 << 8, g0 << 8, r0 << 8);
      cv::v_store_interleave(c + 3 * (x + half), b1 << 8, g1 << 8, r1 << 8);
      cv::v_store(m + x, m0 << 8);
      cv::v_store(m + x + half, m1 << 8);
    }
#endif
    for (; x < dom.cols; ++x) {
      const ushort scale = w[x] ? 256 : 0;
      for (int k = 0; k < 3; ++k) c[3 * x + k] = ushort(d[3 * x + k] * scale);
      m[x] = scale;
    }
  }
}

// The first push: the seen colours' weighted sums and the seen masses one level down, equal
// to a float pyrDown of the full-size colours (zero where unseen) and masses (0 or 1). Every
// sum there is an integer below 2^24 over 256, held exactly by the float pyrDown; OpenCV's
// 16-bit pyrDown rounds its integer sum by 256, so on the values scaled by 256 it returns
// the same integers, at a quarter of the float's bytes.
void firstPush(const cv::Mat& dom, const cv::Mat& weight, cv::Mat& sums, cv::Mat& masses) {
  const int half = (dom.rows + 1) / 2;
  sums.create(half, (dom.cols + 1) / 2, CV_32FC3);
  masses.create(sums.size(), CV_32F);
  cv::Mat scaledColour, scaledMass, reducedColour, reducedMass;
  for (int r0 = 0; r0 < half; r0 += kBandRows) {
    const int r1 = std::min(r0 + kBandRows, half);
    // Coarse row r reads full rows 2r - 2 .. 2r + 2; a crop's own first and last coarse rows
    // see its cut edge as a border and are not used unless that edge is the block's.
    const int first = std::max(2 * r0 - 2, 0), end = std::min(2 * r1 + 1, dom.rows);
    scaledSeenRows(dom, weight, first, end, scaledColour, scaledMass);
    cv::pyrDown(scaledColour, reducedColour);
    cv::pyrDown(scaledMass, reducedMass);
    const cv::Range used(r0 - first / 2, r1 - first / 2), to(r0, r1);
    reducedColour.rowRange(used).convertTo(sums.rowRange(to), CV_32F, 1.0 / 256.0);
    reducedMass.rowRange(used).convertTo(masses.rowRange(to), CV_32F, 1.0 / 256.0);
  }
}

// One row of a level's fill as far as whole vectors go: the mean seen colour where the level
// saw enough, else the coarser level's fill pulled up (`up`, null at the coarsest level).
// Returns where it stopped: the vectors divide lane by lane as the scalar tail does, so the
// two agree. `o` may be `s`.
int pulledRowVectors(const float* s, const float* m, const float* up, float* o, int cols) {
  int x = 0;
#if CV_SIMD
  const int lanes = cv::v_float32::nlanes;
  const cv::v_float32 least = cv::vx_setall_f32(1e-6f), enough = cv::vx_setall_f32(1e-3f);
  for (; x + lanes <= cols; x += lanes) {
    cv::v_float32 b, g, r;
    cv::v_load_deinterleave(s + 3 * x, b, g, r);
    const cv::v_float32 mass = cv::vx_load(m + x);
    const cv::v_float32 divisor = cv::v_max(mass, least);
    b = b / divisor;
    g = g / divisor;
    r = r / divisor;
    if (up) {
      cv::v_float32 ub, ug, ur;
      cv::v_load_deinterleave(up + 3 * x, ub, ug, ur);
      const cv::v_float32 hole = mass < enough;
      b = cv::v_select(hole, ub, b);
      g = cv::v_select(hole, ug, g);
      r = cv::v_select(hole, ur, r);
    }
    cv::v_store_interleave(o + 3 * x, b, g, r);
  }
#endif
  return x;
}

// The level's fill, made in place of its sums (the coarser fill is pulled up first).
void pull(cv::Mat& sums, const cv::Mat& masses, const cv::Mat& coarser) {
  cv::Mat up;
  if (!coarser.empty()) cv::pyrUp(coarser, up, sums.size());
  for (int y = 0; y < sums.rows; ++y) {
    float* s = sums.ptr<float>(y);
    const float* m = masses.ptr<float>(y);
    const float* u = up.empty() ? nullptr : up.ptr<float>(y);
    for (int x = pulledRowVectors(s, m, u, s, sums.cols); x < sums.cols; ++x) {
      const bool hole = u && m[x] < 1e-3f;
      const float mass = std::max(m[x], 1e-6f);
      for (int c = 0; c < 3; ++c) s[3 * x + c] = hole ? u[3 * x + c] : s[3 * x + c] / mass;
    }
  }
}

// Puts the seen pixels' own colours over one row of the pulled-up fill.
void keepSeenColours(const uchar* dom, const uchar* weight, uchar* out, int cols) {
  int x = 0;
#if CV_SIMD
  const int lanes = cv::v_uint8::nlanes;
  const cv::v_uint8 zero = cv::vx_setzero_u8();
  for (; x + lanes <= cols; x += lanes) {
    cv::v_uint8 b, g, r, fillB, fillG, fillR;
    cv::v_load_deinterleave(dom + 3 * x, b, g, r);
    cv::v_load_deinterleave(out + 3 * x, fillB, fillG, fillR);
    const cv::v_uint8 seen = cv::vx_load(weight + x) != zero;
    cv::v_store_interleave(out + 3 * x, cv::v_select(seen, b, fillB), cv::v_select(seen, g, fillG),
                           cv::v_select(seen, r, fillR));
  }
#endif
  for (; x < cols; ++x) {
    if (weight[x]) std::copy(dom + 3 * x, dom + 3 * x + 3, out + 3 * x);
  }
}

// The full-size DOM: seen pixels their own colour, holes the first level's fill pulled up.
// Bands without a hole are copied; the others pull up only the coarse rows they need.
void pullIntoHoles(const cv::Mat& dom, const cv::Mat& weight, const cv::Mat& filled, cv::Mat& out) {
  cv::Mat up;
  const int step = 2 * kBandRows;
  for (int y0 = 0; y0 < dom.rows; y0 += step) {
    const int y1 = std::min(y0 + step, dom.rows);
    const cv::Range rows(y0, y1);
    if (cv::countNonZero(weight.rowRange(rows)) == (y1 - y0) * dom.cols) {
      dom.rowRange(rows).copyTo(out.rowRange(rows));
      continue;
    }
    cv::Mat outRows = out.rowRange(rows);
    pulledUpRows(filled, dom.size(), y0, y1, up).convertTo(outRows, CV_8U);
    for (int y = y0; y < y1; ++y)
      keepSeenColours(dom.ptr<uchar>(y), weight.ptr<uchar>(y), out.ptr<uchar>(y), dom.cols);
  }
}

}  // namespace

cv::Mat domWithHolesFilled(const cv::Mat& dom, const cv::Mat& weight) {
  // The rows below are read by raw pointer over the DOM's size, so a wrong type or size would
  // read past the weight or misread the colours rather than fail.
  if (dom.type() != CV_8UC3)
    throw std::invalid_argument("domWithHolesFilled: the DOM must be 8-bit with three channels");
  if (weight.type() != CV_8UC1 || weight.size() != dom.size())
    throw std::invalid_argument("domWithHolesFilled: the weight must be 8-bit of the DOM's size");
  const int seenCount = cv::countNonZero(weight);
  if (seenCount == 0 || seenCount == weight.rows * weight.cols) return dom;
  if (dom.cols < 2 || dom.rows < 2) {
    // A block one pixel wide or high has no coarser level: its holes stay black.
    cv::Mat out(dom.size(), CV_8UC3, cv::Scalar::all(0));
    dom.copyTo(out, weight);
    return out;
  }
  std::vector<cv::Mat> sums(1), masses(1);
  firstPush(dom, weight, sums[0], masses[0]);
  while (sums.back().cols > 1 && sums.back().rows > 1) {
    sums.emplace_back();
    masses.emplace_back();
    cv::pyrDown(sums[sums.size() - 2], sums.back());
    cv::pyrDown(masses[masses.size() - 2], masses.back());
  }
  for (size_t l = sums.size(); l-- > 0;) {
    pull(sums[l], masses[l], l + 1 < sums.size() ? sums[l + 1] : cv::Mat());
    if (l + 1 < sums.size()) sums[l + 1].release();
    masses[l].release();
  }
  const cv::Mat filled = sums[0];
  cv::Mat out(dom.size(), CV_8UC3);
  pullIntoHoles(dom, weight, filled, out);
  return out;
}
