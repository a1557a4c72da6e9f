#include "src/TerrainFusion/src/footprint_sampler.h"

#include "framework/frame_image_decoding.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

// Beyond this a reduced image is a handful of pixels: coarser blocks change nothing.
constexpr int kMaxFactor = 1024;
// Reduced pixels across a footprint, along either image axis, from which a raster pixel reads
// 2 x 2 points instead of one: a single bilinear read would skip much of the footprint.
constexpr float kTwoByTwoExtent = 2.0f;
// Reduced pixels across a raster pixel at most: a bilinear read of pixels as wide as the
// footprint blurs it like a footprint twice as wide, one of pixels two-thirds as wide about
// like the footprint itself, while detail finer than them still averages out.
constexpr double kMaxAcross = 1.5;

// Colour sums of bilinear reads (blue, green, red) and the sum of their weights, in the four
// lanes of one vector register: a read then costs four vector products instead of twelve
// scalar ones, the lanes summed in the order the scalar sums would take.
using Reads = float __attribute__((vector_size(16)));

// A pixel's channels in the first three lanes and a 1 in the last, which sums the weights.
// On x86-64 the channels go to the register as integers and are converted together (a wider
// load would read past the image's buffer at its last pixel, and a copy through memory
// stalls on the partial stores); elsewhere the compiler builds the vector.
template <typename Pixel>
__attribute__((always_inline)) inline Reads lanesOf(const Pixel& p) {
#if defined(__x86_64__)
  const __m128i channels = _mm_setr_epi32(int(p[0]), int(p[1]), int(p[2]), 0);
  return Reads(_mm_or_ps(_mm_cvtepi32_ps(channels), _mm_set_ps(1.0f, 0.0f, 0.0f, 0.0f)));
#else
  return Reads{float(p[0]), float(p[1]), float(p[2]), 1.0f};
#endif
}

// The colour of sums `reads` times `scale`, each channel rounded to the nearest level and
// saturated.
__attribute__((always_inline)) inline void storeColour(Reads reads, float scale, cv::Vec3b& out) {
  out[0] = cv::saturate_cast<uchar>(reads[0] * scale);
  out[1] = cv::saturate_cast<uchar>(reads[1] * scale);
  out[2] = cv::saturate_cast<uchar>(reads[2] * scale);
}

// Adds the bilinear read of `image` at (u, v), clamped to the image, to `reads`; with
// `kBySeen`, each pixel weighted by its value in `coverage`. `Pixel`: the image's pixel type.
// Always inlined: called out of line, the sums go through memory on every read (a tenth of
// the sampler's time).
template <typename Pixel, bool kBySeen>
__attribute__((always_inline)) inline void addBilinear(const cv::Mat& image,
                                                       const cv::Mat& coverage, float u, float v,
                                                       Reads& reads) {
  const float x = std::clamp(u, 0.0f, float(image.cols - 1));
  const float y = std::clamp(v, 0.0f, float(image.rows - 1));
  const int x0 = int(x), y0 = int(y);
  // Offsets of the right and lower neighbours, none on the last column and row.
  const int right = x0 < image.cols - 1 ? 1 : 0;
  const bool below = y0 < image.rows - 1;
  const float ax = x - float(x0), ay = y - float(y0);
  float w[4] = {(1.0f - ax) * (1.0f - ay), ax * (1.0f - ay), (1.0f - ax) * ay, ax * ay};
  if (kBySeen) {
    const uchar* top = coverage.ptr<uchar>(y0) + x0;
    const uchar* bottom = below ? top + coverage.step[0] : top;
    w[0] *= float(top[0]);
    w[1] *= float(top[right]);
    w[2] *= float(bottom[0]);
    w[3] *= float(bottom[right]);
  }
  const Pixel* top = image.ptr<Pixel>(y0) + x0;
  const Pixel* bottom = below ? image.ptr<Pixel>(y0 + 1) + x0 : top;
  reads += lanesOf(top[0]) * w[0] + lanesOf(top[right]) * w[1] + lanesOf(bottom[0]) * w[2] +
           lanesOf(bottom[right]) * w[3];
}

// Sum of the bilinear reads at the 2 x 2 points a quarter of the steps (uc, vc) along a
// column and (ur, vr) along a row from the centre (u, v): each reads a quarter of the
// footprint.
template <typename Pixel, bool kBySeen>
__attribute__((always_inline)) inline Reads quarterSum(const AreaReduction& reduced, float u,
                                                       float v, float uc, float vc, float ur,
                                                       float vr) {
  Reads reads = {0.0f, 0.0f, 0.0f, 0.0f};
  for (const float down : {-0.25f, 0.25f}) {
    for (const float across : {-0.25f, 0.25f}) {
      addBilinear<Pixel, kBySeen>(reduced.image, reduced.coverage, u + across * uc + down * ur,
                                  v + across * vc + down * vr, reads);
    }
  }
  return reads;
}

// log2 of a power of two; the seen mask is looked up by shifts on every raster pixel.
int shiftOf(int factor) {
  int shift = 0;
  while (shift < 30 && (1 << shift) < factor) ++shift;
  if ((1 << shift) != factor)
    throw std::invalid_argument(
        "FootprintSampler: a decoded image's factor must be a power of two");
  return shift;
}

}  // namespace

namespace {

// The area factor that takes an image decoded reduced by `decoded` to `total`: what is left
// of it, at least 1 (an image decoded coarser than asked is read as it is).
int areaFactorOf(int total, int decoded) { return std::max(1, total / decoded); }

}  // namespace

FootprintSampler::FootprintSampler(const DecodedImage& decoded, const fw::Pinhole& intrinsics,
                                   const cv::Vec3d& alongColumn, const cv::Vec3d& alongRow,
                                   double footprintPixels)
    : seen_(decoded.seen),
      decoded_(decoded.factor),
      decodedShift_(shiftOf(decoded.factor)),
      reduced_(reduceByArea(decoded.image, decoded.seen,
                            areaFactorOf(reductionFor(footprintPixels), decoded_))),
      alongColumn_(alongColumn),
      alongRow_(alongRow) {
  if (!seen_.empty()) {
    seenData_ = seen_.data;
    seenStep_ = seen_.step[0];
  }
  const double d = decoded_, blocks = d * reduced_.factor;
  const double fraction = footprintPixels / blocks / kMaxAcross;
  cv::Vec2d applied(1.0, 1.0);
  if (fraction > 1.0 && std::isfinite(fraction))
    reduced_ = reduceByFraction(reduced_, fraction, applied);
  levelsPerUnit_ = reduced_.levelsPerUnit();
  // u' = (fx x / z + cx + 0.5) / f - 0.5 at each reduction: the camera as the reduced image
  // sees it.
  const auto decodedOf = [&](double s) { return decoded_ == 1 ? s : (s + 0.5) / d - 0.5; };
  const auto fractionOf = [](double s, double a) { return (s + 0.5) / a - 0.5; };
  const double f = blocks * std::max(applied[0], applied[1]);
  fx_ = intrinsics.fx / (blocks * applied[0]);
  fy_ = intrinsics.fy / (blocks * applied[1]);
  cx_ = fractionOf(reduced_.reducedOf(decodedOf(intrinsics.cx)), applied[0]);
  cy_ = fractionOf(reduced_.reducedOf(decodedOf(intrinsics.cy)), applied[1]);
  boundSingleReads();
  if (reduced_.coverage.empty()) return;
  // Reduced pixels with only wholly seen pixels within `reach`: most of an undistorted image,
  // whose footprints then read without weighing by coverage. The 2 x 2 points lie within a
  // quarter of the footprint's extent, which is bounded here by the raster pixel's size.
  const double across = footprintPixels / f;
  const int quarterReach =
      std::isfinite(across) && across < kMaxFactor ? int(std::ceil(0.5 * across)) : 1;
  const int reach = quarterReach + 2;
  cv::erode(reduced_.coverage == 255, whollySeen_,
            cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * reach + 1, 2 * reach + 1)),
            cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::Scalar(0));
  // The bilinear reads of a point reach up to two pixels beyond it from the nearest pixel.
  whollySeenReach_ = float(reach - 2);
}

void FootprintSampler::boundSingleReads() {
  // Over the image, x = (u - cx) / fx lies within +-maxX (and y alike), so that a footprint's
  // extent fx |a0 - x a2| / z + fx |b0 - x b2| / z along u (a: the step along a column, b
  // along a row) is at most extentPerDepth_ / z.
  const double fxinv = 1.0 / fx_, fyinv = 1.0 / fy_;
  const double maxX = std::max(std::fabs(fw::rayOfPixel(-0.5, cx_, fxinv)),
                               std::fabs(fw::rayOfPixel(reduced_.image.cols - 0.5, cx_, fxinv)));
  const double maxY = std::max(std::fabs(fw::rayOfPixel(-0.5, cy_, fyinv)),
                               std::fabs(fw::rayOfPixel(reduced_.image.rows - 0.5, cy_, fyinv)));
  const cv::Vec3d &a = alongColumn_, &b = alongRow_;
  const double alongU = std::fabs(fx_) * (std::fabs(a[0]) + std::fabs(b[0]) +
                                          maxX * (std::fabs(a[2]) + std::fabs(b[2])));
  const double alongV = std::fabs(fy_) * (std::fabs(a[1]) + std::fabs(b[1]) +
                                          maxY * (std::fabs(a[2]) + std::fabs(b[2])));
  const double bound = std::max(alongU, alongV);
  if (!std::isfinite(bound) || !std::isfinite(maxX) || !std::isfinite(maxY)) return;
  maxX_ = maxX;
  maxY_ = maxY;
  extentPerDepth_ = bound;
}

bool FootprintSampler::whollySeen(float u, float v, float extentU, float extentV) const {
  if (!(extentU <= whollySeenReach_ && extentV <= whollySeenReach_)) return false;
  if (!(u >= 0.0f && v >= 0.0f && u < float(whollySeen_.cols - 1) &&
        v < float(whollySeen_.rows - 1)))
    return false;
  return whollySeen_.at<uchar>(int(v + 0.5f), int(u + 0.5f)) != 0;
}

int FootprintSampler::reductionFor(double footprintPixels) {
  // A footprint of unknown size (a camera on the ground) keeps the image as it is.
  if (!(footprintPixels >= 2.0) || !std::isfinite(footprintPixels)) return 1;
  if (footprintPixels >= kMaxFactor) return kMaxFactor;
  // Up to the decoder's largest reduction a power of two, beyond it a multiple of that: a
  // reduced decode always leaves a whole area factor.
  const int decoded = fw::decodeReductionFor(footprintPixels);
  return decoded * int(footprintPixels / decoded);
}

template <typename Pixel, bool kBySeen>
void FootprintSampler::meanOf(const cv::Vec3d& centre, cv::Vec3b& out) const {
  // The footprint spans a small part of the view, where the projection is as good as linear:
  // its extent is the image of the steps to the next column and row at its centre.
  const double iz = 1.0 / centre[2], x = centre[0] * iz, y = centre[1] * iz;
  const float u = float(fx_ * x + cx_), v = float(fy_ * y + cy_);
  Reads reads = {0.0f, 0.0f, 0.0f, 0.0f};
  if (!kBySeen && extentPerDepth_ * iz < kTwoByTwoExtent && std::fabs(x) <= maxX_ &&
      std::fabs(y) <= maxY_) {
    // Footprints this small anywhere in the image read once: their steps need not be known.
    addBilinear<Pixel, false>(reduced_.image, reduced_.coverage, u, v, reads);
    storeColour(reads, float(levelsPerUnit_) / reads[3], out);
    return;
  }
  const float uc = float(fx_ * (alongColumn_[0] - x * alongColumn_[2]) * iz);
  const float vc = float(fy_ * (alongColumn_[1] - y * alongColumn_[2]) * iz);
  const float ur = float(fx_ * (alongRow_[0] - x * alongRow_[2]) * iz);
  const float vr = float(fy_ * (alongRow_[1] - y * alongRow_[2]) * iz);
  const float extentU = std::fabs(uc) + std::fabs(ur), extentV = std::fabs(vc) + std::fabs(vr);
  const bool quarters = extentU >= kTwoByTwoExtent || extentV >= kTwoByTwoExtent;
  if (kBySeen &&
      whollySeen(u, v, quarters ? 0.25f * extentU : 0.0f, quarters ? 0.25f * extentV : 0.0f)) {
    // Every pixel read is seen: weighing each by its coverage would change nothing.
    if (quarters)
      reads = quarterSum<Pixel, false>(reduced_, u, v, uc, vc, ur, vr);
    else
      addBilinear<Pixel, false>(reduced_.image, reduced_.coverage, u, v, reads);
  } else {
    if (quarters)
      reads = quarterSum<Pixel, kBySeen>(reduced_, u, v, uc, vc, ur, vr);
    else
      addBilinear<Pixel, kBySeen>(reduced_.image, reduced_.coverage, u, v, reads);
    // Nothing seen around: the reduced image at the centre, which continues the content.
    if (!(reads[3] > 0.0f))
      addBilinear<Pixel, false>(reduced_.image, reduced_.coverage, u, v, reads);
  }
  storeColour(reads, float(levelsPerUnit_) / reads[3], out);
}

cv::Vec3b FootprintSampler::mean(const cv::Vec3d& centre) const {
  cv::Vec3b colour;
  mean(centre, colour);
  return colour;
}

void FootprintSampler::mean(const cv::Vec3d& centre, cv::Vec3b& out) const {
  using Levels = cv::Vec<uint16_t, 3>;
  const bool bySeen = !reduced_.coverage.empty();
  if (reduced_.image.depth() == CV_8U)
    return bySeen ? meanOf<cv::Vec3b, true>(centre, out) : meanOf<cv::Vec3b, false>(centre, out);
  return bySeen ? meanOf<Levels, true>(centre, out) : meanOf<Levels, false>(centre, out);
}
