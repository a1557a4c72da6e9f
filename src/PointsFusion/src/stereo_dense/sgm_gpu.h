#pragma once

// Disparity through the GPU matcher, band by band. The pair is shifted by dmin so that a
// disparity size of 64, 128 or 256 covers the search, and cut into horizontal bands of at
// most "pointsfusion.cut_pixel_num" pixels. Each band is matched together with context rows
// of its neighbours, because the matcher leaves a block's first and last rows empty and
// restarts its vertical paths there; only the band's own rows are kept.

#include "src/PointsFusion/src/stereo_dense/disparity_calculator.h"

#include <cstdint>
#include <functional>

// The GPU front's operations that the calculator uses; tests replace them.
struct GpuMatcherFront {
  // (left band, right band, disparity size, minimum disparity, path count) -> CV_16S map,
  // 16 x disparity, 16 x (minimum - 1) where invalid, first and last row and column 0.
  std::function<cv::Mat(cv::Mat, cv::Mat, int, int, int)> match;
  std::function<void(std::uint64_t)> reserve;

  // The real front of the GPU matcher.
  static GpuMatcherFront device();
};

struct BandLayout {
  int bandRows = 0;  // rows assigned to each band (the last may differ)
  int bandCount = 0;
};

class SGM_GPU : public DisparityCalculator {
 public:
  static constexpr int kContextRows = 32;  // neighbour rows matched with each band
  static constexpr int kPathCount = 4;

  SGM_GPU() : SGM_GPU(GpuMatcherFront::device()) {}
  explicit SGM_GPU(GpuMatcherFront front);
  ~SGM_GPU() override;

  sv::Var Compute(cv::Mat left, cv::Mat right, int dmin, int dmax) override;

  // Disparity size covering dmax - dmin: 64, 128 or 256.
  static int disparitySize(double range);
  // Bands of `rows` x `cols` pixels within `bandPixels` each; no band is thinner than the
  // context margin unless the image is. bandCount 0 when bandPixels is not positive.
  static BandLayout bands(int rows, int cols, std::int64_t bandPixels);

 private:
  GpuMatcherFront front_;
};
