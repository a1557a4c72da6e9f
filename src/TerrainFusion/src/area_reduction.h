#pragma once

#include <opencv2/core.hpp>

// An image reduced by a whole factor once per frame, so that a raster much coarser than the
// image reads a few pixels of it per raster pixel instead of every image pixel under it.
struct AreaReduction {
  // Factor 1: the source itself, 8-bit. Otherwise 16-bit means in 1/kLevelScale of a level,
  // ceil(cols / factor) x ceil(rows / factor): rounding block means to whole levels would
  // shift smooth slopes by up to half a level.
  cv::Mat image;
  cv::Mat coverage;  // empty when the whole source has content; else 8-bit, 255 * seen share
  int factor = 1;

  static constexpr int kLevelScale = 256;
  // Levels per unit of `image`.
  double levelsPerUnit() const { return image.depth() == CV_8U ? 1.0 : 1.0 / kLevelScale; }
  // Reduced pixel coordinate of source coordinate `s` (pixel centres at whole numbers): a
  // reduced pixel's centre is the centre of its block.
  double reducedOf(double s) const { return (s - 0.5 * (factor - 1)) / factor; }
};

// Block sums stay within 32 bits up to this factor.
constexpr int kMaxReductionFactor = 2048;

// Each reduced pixel is the mean of a factor x factor block of `image` (8-bit, three
// channels), blocks past the image's edge continuing its last row and column. With a `seen`
// mask (8-bit of the image's size, 0 where the image has no content) the mean is over the
// block's seen pixels, and over all of them where none is seen (coverage 0 there), so that
// margins never darken content yet every reduced pixel has a colour.
AreaReduction reduceByArea(const cv::Mat& image, const cv::Mat& seen, int factor);

// Fractions of a reduced pixel a further reduction leaves alone: 1 + this is reduced as 1.
constexpr double kNegligibleFraction = 1e-3;

// `reduced` reduced again by area by `fraction` (from 1 on, need not be whole): its pixels'
// means over the areas of `fraction` x `fraction` of them, 16-bit in 1/kLevelScale of a level
// whatever `reduced` was, its coverage (when it has one) reduced alike and its colours the
// means over the seen share, as reduceByArea's. The size is `reduced`'s divided by `fraction`
// and rounded, so the factor along each axis is close to it but exact in `applied` (columns,
// rows): pixel x of the result spans [x a, (x + 1) a) of `reduced`'s. `factor` stays
// `reduced`'s. A fraction within kNegligibleFraction of 1 returns `reduced` as it is.
AreaReduction reduceByFraction(const AreaReduction& reduced, double fraction, cv::Vec2d& applied);
