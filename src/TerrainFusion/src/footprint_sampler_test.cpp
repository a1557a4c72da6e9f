#include "src/TerrainFusion/src/footprint_sampler.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// A camera whose camera point (u, v, 1) projects to image position (u, v), and raster pixels
// `size` image pixels across, turned by `angle` radians against the image's axes.
FootprintSampler samplerOf(const cv::Mat& image, const cv::Mat& seen, double size,
                           double angle = 0.0) {
  const cv::Vec3d column(size * std::cos(angle), size * std::sin(angle), 0.0);
  const cv::Vec3d row(-size * std::sin(angle), size * std::cos(angle), 0.0);
  return FootprintSampler({image, seen, 1}, {1.0, 1.0, 0.0, 0.0}, column, row, size);
}

// Grey levels of the raster pixels whose centres lie on a grid `size` apart inside `area`.
std::vector<double> greysOver(const FootprintSampler& sampler, const cv::Rect2d& area,
                              double size) {
  std::vector<double> greys;
  for (double v = area.y; v < area.y + area.height; v += size)
    for (double u = area.x; u < area.x + area.width; u += size)
      greys.push_back(sampler.mean({u, v, 1.0})[0]);
  return greys;
}

// Ramps across the image, along columns in the first channel and along rows in the second,
// dithered so that their rounding has no pattern of its own.
cv::Mat rampImage(cv::Size size, uint64_t seed) {
  cv::Mat image(size, CV_8UC3);
  cv::RNG rng(seed);
  for (int v = 0; v < image.rows; ++v) {
    for (int u = 0; u < image.cols; ++u) {
      image.at<cv::Vec3b>(v, u) =
          cv::Vec3b(uchar(std::lround(0.24 * u + rng.uniform(-0.5, 0.5))),
                    uchar(std::lround(0.4 * v + rng.uniform(-0.5, 0.5))), 0);
    }
  }
  return image;
}

// Mean difference of the sampled colours from the ramps, over raster pixels spread across the
// image's inside: how far off their centres the footprints are read.
cv::Vec2d rampBias(const FootprintSampler& sampler) {
  cv::Vec2d bias(0.0, 0.0);
  int count = 0;
  for (double v = 40.25; v < 560.0; v += 3.7) {
    for (double u = 40.35; u < 960.0; u += 3.3) {
      const cv::Vec3b colour = sampler.mean({u, v, 1.0});
      bias += cv::Vec2d(colour[0] - 0.24 * u, colour[1] - 0.4 * v);
      ++count;
    }
  }
  return bias / count;
}

void meanAndDeviation(const std::vector<double>& values, double& mean, double& deviation) {
  double sum = 0.0, squares = 0.0;
  for (double v : values) sum += v;
  mean = sum / double(values.size());
  for (double v : values) squares += (v - mean) * (v - mean);
  deviation = std::sqrt(squares / double(values.size()));
}

TEST(FootprintSampler, FurrowsFinerThanARasterPixelGiveAnEvenGrey) {
  // Hard-edged furrows across the image at 17 degrees, at least two to a raster pixel:
  // sampled at the raster's pixel centres they would beat into stripes of full contrast.
  const double angle = 17.0 * M_PI / 180.0;
  for (const double period : {1.3, 2.6}) {
    cv::Mat image(900, 1200, CV_8UC3);
    for (int v = 0; v < image.rows; ++v) {
      for (int u = 0; u < image.cols; ++u) {
        const double along = u * std::cos(angle) + v * std::sin(angle);
        image.at<cv::Vec3b>(v, u) = cv::Vec3b::all(std::fmod(along, period) < period / 2 ? 0 : 255);
      }
    }
    for (const double size : {3.3, 5.9, 8.6, 13.1, 27.4}) {
      if (size < 2.0 * period) continue;
      for (const double turn : {0.0, 0.4}) {
        const FootprintSampler sampler = samplerOf(image, cv::Mat(), size, turn);
        double mean = 0.0, deviation = 0.0;
        meanAndDeviation(greysOver(sampler, {100.3, 100.7, 1000.0, 700.0}, size), mean, deviation);
        EXPECT_NEAR(mean, 127.5, 2.0) << period << "-pixel furrows, raster pixels of " << size;
        EXPECT_LT(deviation, 10.0) << period << "-pixel furrows, raster pixels of " << size;
      }
    }
  }
}

TEST(FootprintSampler, AverageStaysCentredOnTheRasterPixel) {
  // A footprint read off its centre by a fifth of an image pixel shows as a bias of 0.05 grey
  // levels or more.
  const cv::Mat image = rampImage(cv::Size(1000, 600), 5);
  for (const double size : {0.8, 1.7, 3.5, 4.4, 7.0, 12.6, 25.0}) {
    const cv::Vec2d bias = rampBias(samplerOf(image, cv::Mat(), size));
    EXPECT_LT(std::fabs(bias[0]), 0.05) << "raster pixels of " << size << " image pixels";
    EXPECT_LT(std::fabs(bias[1]), 0.05) << "raster pixels of " << size << " image pixels";
  }
}

TEST(FootprintSampler, MarginWithoutContentNeverDarkensAPixel) {
  // Left of column 500 the image has no content (black); right of it, a light grey.
  cv::Mat image(400, 1000, CV_8UC3, cv::Scalar::all(0)), seen(400, 1000, CV_8UC1, cv::Scalar(0));
  image.colRange(500, 1000).setTo(cv::Scalar::all(230));
  seen.colRange(500, 1000).setTo(255);
  for (const double size : {1.5, 3.5, 6.0, 7.0, 11.0}) {
    const FootprintSampler sampler = samplerOf(image, seen, size);
    EXPECT_TRUE(sampler.sees(500, 10));
    EXPECT_FALSE(sampler.sees(499, 10));
    // Pixels straddling the edge with their centre seen (the rasteriser colours no others),
    // and one whose footprint sees nothing at all.
    for (double u = 500.0; u < 500.0 + size / 2; u += 0.5)
      EXPECT_EQ(sampler.mean({u, 200.0, 1.0})[0], 230) << size << " at " << u;
    EXPECT_EQ(sampler.mean({100.0, 200.0, 1.0})[0], 0) << size;
  }
}

TEST(FootprintSampler, AnImageDecodedReducedReadsLikeTheWholeOne) {
  // The ramps of the centring test, given as the decoder hands them over at 1/2 and 1/4 (block
  // means, ceil-sized): the camera stays in whole-image pixels, so a reduced pixel's centre
  // taken at x f instead of (x + 0.5) f - 0.5 shows as a bias of 0.12 levels or more.
  const cv::Size whole(1002, 601);
  const cv::Mat image = rampImage(whole, 7);
  for (const int factor : {2, 4}) {
    const cv::Size reducedSize((whole.width + factor - 1) / factor,
                               (whole.height + factor - 1) / factor);
    // Block means rounded to the nearest level, halves to even: no bias of their own.
    cv::Mat padded, means, reduced;
    cv::copyMakeBorder(image, padded, 0, reducedSize.height * factor - whole.height, 0,
                       reducedSize.width * factor - whole.width, cv::BORDER_REPLICATE);
    padded.convertTo(padded, CV_32FC3);
    cv::resize(padded, means, reducedSize, 0, 0, cv::INTER_AREA);
    means.convertTo(reduced, CV_8UC3);
    for (const double size : {1.7, 4.4, 9.0, 25.0}) {
      const FootprintSampler sampler({reduced, cv::Mat(), factor}, {1.0, 1.0, 0.0, 0.0},
                                     {size, 0.0, 0.0}, {0.0, size, 0.0}, size);
      const cv::Vec2d bias = rampBias(sampler);
      EXPECT_LT(std::fabs(bias[0]), 0.08) << "1/" << factor << ", " << size;
      EXPECT_LT(std::fabs(bias[1]), 0.08) << "1/" << factor << ", " << size;
    }
  }
}

TEST(FootprintSampler, SeenMaskOfAReducedImageAnswersInWholeImagePixels) {
  // Decoded at 1/4, 100 x 40 for a 400 x 160 camera: content from reduced column 50, camera
  // column 200, on.
  cv::Mat image(40, 100, CV_8UC3, cv::Scalar::all(0)), seen(40, 100, CV_8UC1, cv::Scalar(0));
  image.colRange(50, 100).setTo(cv::Scalar::all(180));
  seen.colRange(50, 100).setTo(255);
  const FootprintSampler sampler({image, seen, 4}, {1.0, 1.0, 0.0, 0.0}, {6.0, 0.0, 0.0},
                                 {0.0, 6.0, 0.0}, 6.0);
  EXPECT_TRUE(sampler.sees(200, 150));
  EXPECT_TRUE(sampler.sees(399, 159));
  EXPECT_FALSE(sampler.sees(199, 0));
  EXPECT_FALSE(sampler.sees(0, 159));
  // Footprints over the edge whose centre is seen read the content alone.
  for (double u = 200.0; u < 203.0; u += 0.5) EXPECT_EQ(sampler.mean({u, 80.0, 1.0})[0], 180) << u;
}

TEST(FootprintSampler, FootprintsFarFromTheMarginReadAsIfThereWereNone) {
  // Random colours, the left 60 columns a margin without content: away from it, a sampler
  // with the mask gives the colours of one without, at every size and turn; next to it, the
  // margin still never darkens a pixel.
  cv::Mat image(300, 400, CV_8UC3), seen(300, 400, CV_8UC1, cv::Scalar(255));
  cv::RNG rng(11);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  image.colRange(0, 60).setTo(cv::Scalar::all(0));
  seen.colRange(0, 60).setTo(0);
  for (const double size : {1.5, 2.8, 3.5, 6.0, 7.0, 11.0}) {
    for (const double turn : {0.0, 0.7}) {
      const FootprintSampler masked = samplerOf(image, seen, size, turn);
      const FootprintSampler plain = samplerOf(image, cv::Mat(), size, turn);
      for (double v = 20.3; v < 280.0; v += 7.1) {
        for (double u = 60.0 + 2.0 * size + 10.0; u < 380.0; u += 6.7)
          ASSERT_EQ(masked.mean({u, v, 1.0}), plain.mean({u, v, 1.0})) << size << " " << u;
        // A footprint half over the margin: its seen half alone, brighter than with the black.
        // (Raster pixels of 1.5 image pixels read the image unreduced, at the first seen
        // column alone: nothing of the margin to leave out.)
        if (size < 2.0) continue;
        const cv::Vec3b seenHalf = masked.mean({60.0, v, 1.0});
        const cv::Vec3b withMargin = plain.mean({60.0, v, 1.0});
        EXPECT_GT(int(seenHalf[0]) + seenHalf[1] + seenHalf[2],
                  int(withMargin[0]) + withMargin[1] + withMargin[2] + 10)
            << size << " " << v;
      }
    }
  }
}

TEST(FootprintSampler, ReducesToOneToTwoPixelsAcrossARasterPixelWhateverTheImageSize) {
  // A raster pixel reads one reduced pixel's neighbourhood: the work per raster pixel does not
  // grow with the image's resolution, and the reduction a decoder can make (2, 4, 8) always
  // divides the total, so a reduced decode is reduced further by a whole factor.
  for (double size = 2.01; size < 1000.0; size *= 1.37) {
    const int factor = FootprintSampler::reductionFor(size);
    EXPECT_GE(size / factor, 1.0) << size;
    EXPECT_LT(size / factor, 2.0) << size;
    EXPECT_EQ(factor % std::min(factor, 8), 0) << size;
  }
  EXPECT_EQ(FootprintSampler::reductionFor(1.9), 1);
  EXPECT_EQ(FootprintSampler::reductionFor(2.0), 2);
  EXPECT_EQ(FootprintSampler::reductionFor(4.59), 4);
  EXPECT_EQ(FootprintSampler::reductionFor(15.9), 8);
  EXPECT_EQ(FootprintSampler::reductionFor(16.0), 16);
  EXPECT_EQ(FootprintSampler::reductionFor(31.0), 24);
  // Unknown or absurd footprints stay bounded.
  EXPECT_EQ(FootprintSampler::reductionFor(std::nan("")), 1);
  EXPECT_EQ(FootprintSampler::reductionFor(1.0 / 0.0), 1);
  EXPECT_EQ(FootprintSampler::reductionFor(-3.0), 1);
  EXPECT_EQ(FootprintSampler::reductionFor(1e9), 1024);
}

// Random texture, smoothed a little so that it has detail at every scale down to a pixel or
// two, as a frame image of the ground does.
cv::Mat textureImage(cv::Size size, uint64_t seed) {
  cv::Mat image(size, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(image, image, cv::Size(0, 0), 0.6);
  return image;
}

// The exact mean of `image` over the square of side `size` centred at (u, v).
cv::Vec3d areaMean(const cv::Mat& image, double u, double v, double size) {
  cv::Vec3d sum(0.0, 0.0, 0.0);
  double area = 0.0;
  const double left = u + 0.5 - size / 2, top = v + 0.5 - size / 2;
  for (int y = int(std::floor(top)); y < int(std::ceil(top + size)); ++y) {
    const double wy = std::min(double(y + 1), top + size) - std::max(double(y), top);
    for (int x = int(std::floor(left)); x < int(std::ceil(left + size)); ++x) {
      const double w = wy * (std::min(double(x + 1), left + size) - std::max(double(x), left));
      const cv::Vec3b p = image.at<cv::Vec3b>(y, x);
      sum += cv::Vec3d(p[0], p[1], p[2]) * w;
      area += w;
    }
  }
  return sum / area;
}

TEST(FootprintSampler, OneReadFollowsTheFootprintsAreaMeanOnATexturedImage) {
  // On texture the single read of the reduced image follows the exact area mean of the
  // footprint: far closer than the colour at the footprint's centre, which aliases, and
  // closer than the mean of the neighbourhood around it.
  const cv::Mat image = textureImage(cv::Size(800, 600), 21);
  cv::RNG rng(5);
  for (const double size : {2.6, 4.59, 7.3, 12.0}) {
    const FootprintSampler sampler = samplerOf(image, cv::Mat(), size);
    double sampled = 0.0, centre = 0.0, spread = 0.0;
    int count = 0;
    for (int i = 0; i < 2000; ++i) {
      const double u = rng.uniform(30.0, 770.0), v = rng.uniform(30.0, 570.0);
      const cv::Vec3d truth = areaMean(image, u, v, size);
      const cv::Vec3b read = sampler.mean({u, v, 1.0});
      const cv::Vec3b at = image.at<cv::Vec3b>(int(v + 0.5), int(u + 0.5));
      const cv::Scalar mean = cv::mean(image(cv::Rect(int(u) - 10, int(v) - 10, 21, 21)));
      for (int c = 0; c < 3; ++c) {
        sampled += std::fabs(read[c] - truth[c]);
        centre += std::fabs(at[c] - truth[c]);
        spread += std::fabs(mean[c] - truth[c]);
        ++count;
      }
    }
    sampled /= count;
    centre /= count;
    spread /= count;
    EXPECT_LT(sampled, 0.5 * centre) << "raster pixels of " << size;
    EXPECT_LT(sampled, spread) << "raster pixels of " << size;
  }
}

TEST(FootprintSampler, TextureDecodedReducedReadsAsTheWholeDecodeOnAverage) {
  // The texture whole, and as a decoder hands it over at 1/2, 1/4 and 1/8 (block means): both
  // reach the same total reduction, so their colours differ only by the blocks' rounding to
  // whole levels, a level at most, and on average by much less.
  const cv::Mat image = textureImage(cv::Size(1200, 800), 3);
  for (const int factor : {2, 4, 8}) {
    cv::Mat means, reduced;
    image.convertTo(means, CV_32FC3);
    cv::resize(means, means, image.size() / factor, 0, 0, cv::INTER_AREA);
    means.convertTo(reduced, CV_8UC3);
    for (const double size : {1.0 * factor, 1.37 * factor, 1.93 * factor}) {
      const cv::Vec3d column(size, 0.0, 0.0), row(0.0, size, 0.0);
      const FootprintSampler whole({image, cv::Mat(), 1}, {1.0, 1.0, 0.0, 0.0}, column, row, size);
      const FootprintSampler part({reduced, cv::Mat(), factor}, {1.0, 1.0, 0.0, 0.0}, column, row,
                                  size);
      double sum = 0.0;
      int count = 0, largest = 0;
      for (double v = 20.2; v < 780.0; v += size) {
        for (double u = 20.7; u < 1180.0; u += size) {
          const cv::Vec3b a = whole.mean({u, v, 1.0}), b = part.mean({u, v, 1.0});
          for (int c = 0; c < 3; ++c) {
            sum += std::abs(a[c] - b[c]);
            largest = std::max(largest, std::abs(a[c] - b[c]));
            ++count;
          }
        }
      }
      EXPECT_LT(sum / count, 0.3) << "1/" << factor << ", " << size;
      EXPECT_LE(largest, 2) << "1/" << factor << ", " << size;
    }
  }
}

TEST(FootprintSampler, FootprintsStretchedOverTwoReducedPixelsReadFourPoints) {
  // Columns alternating black and white in blocks of 4 pixels, raster pixels 6 wide seen
  // 18 pixels along the row (an oblique view's far side): a read at the centre alone would
  // give a stripe's colour; four points over the footprint see both stripes.
  cv::Mat image(200, 400, CV_8UC3);
  for (int u = 0; u < image.cols; ++u) image.col(u).setTo(cv::Scalar::all((u / 8) % 2 ? 255 : 0));
  const FootprintSampler sampler({image, cv::Mat(), 1}, {1.0, 1.0, 0.0, 0.0}, {18.0, 0.0, 0.0},
                                 {0.0, 6.0, 0.0}, 6.0);
  for (double u = 100.0; u < 300.0; u += 1.7)
    EXPECT_NEAR(sampler.mean({u, 100.0, 1.0})[0], 127.5, 70.0) << u;
}

}  // namespace
