#include "src/PointsFusion/src/stereo_dense/sgm_gpu.h"

#include "framework/config_store.h"
#include "framework/log.h"
#include "src/new_sgm/src/stereosgm_image.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr int kDefaultBandPixels = 2000000;

std::int64_t bandPixels() {
  return *fw::Var::instance().GetInt("pointsfusion.cut_pixel_num", kDefaultBandPixels);
}

}  // namespace

GpuMatcherFront GpuMatcherFront::device() { return {computeDisparitySGM, reserveGpuMemory}; }

SGM_GPU::SGM_GPU(GpuMatcherFront front) : front_(std::move(front)) {
  const std::int64_t pixels = bandPixels();
  FW_LOG(fw::kLogInfo) << "Preparing " << pixels / 1024 << "MB GPU memory.";
  front_.reserve(std::uint64_t(std::max<std::int64_t>(pixels, 0)) * 1024);
  FW_LOG(fw::kLogInfo) << "GPU memory prepared.";
  FW_LOG(fw::kLogInfo) << "New version of SGM is used. Could have graphic memory issue.";
}

SGM_GPU::~SGM_GPU() { front_.reserve(0); }

int SGM_GPU::disparitySize(double range) {
  if (range <= 64) return 64;
  if (range <= 128) return 128;
  return 256;
}

BandLayout SGM_GPU::bands(int rows, int cols, std::int64_t pixels) {
  BandLayout layout;
  if (pixels <= 0 || rows <= 0 || cols <= 0) return layout;
  const double wanted = std::ceil(double(rows) * double(cols) / double(pixels));
  layout.bandRows = int(std::ceil(rows / wanted));
  // Thinner bands would mostly match context rows.
  layout.bandRows = std::min(rows, std::max(layout.bandRows, kContextRows));
  layout.bandCount = (rows + layout.bandRows - 1) / layout.bandRows;
  // A thin remainder joins the band before it.
  const int last = rows - (layout.bandCount - 1) * layout.bandRows;
  if (layout.bandCount > 1 && last < kContextRows) --layout.bandCount;
  return layout;
}

sv::Var SGM_GPU::Compute(cv::Mat left, cv::Mat right, int dmin, int dmax) {
  const int rows = left.rows, cols = left.cols;
  if (dmin < 0 || dmin >= cols) {
    FW_LOG(fw::kLogError) << "SGM_GPU::Compute: smallest disparity " << dmin
                          << " leaves no columns of " << cols;
    return sv::Var();
  }
  const int width = cols - dmin;
  const BandLayout layout = bands(rows, width, bandPixels());
  if (layout.bandCount == 0) {
    FW_LOG(fw::kLogError) << "SGM_GPU::Compute: band size " << bandPixels()
                          << " pixels is not positive";
    return sv::Var();
  }
  // Shifting by dmin lines up left column dmin + x with right column x.
  const cv::Mat shiftedLeft = left.colRange(dmin, cols);
  const cv::Mat shiftedRight = right.colRange(0, width);
  const int size = disparitySize(double(dmax) - double(dmin));

  cv::Mat fixedPoint(rows, width, CV_16S);
  for (int band = 0; band < layout.bandCount; ++band) {
    const int begin = band * layout.bandRows;
    const int end = band + 1 == layout.bandCount ? rows : begin + layout.bandRows;
    const int blockBegin = std::max(0, begin - kContextRows);
    const int blockEnd = std::min(rows, end + kContextRows);
    const cv::Mat block =
        front_.match(shiftedLeft.rowRange(blockBegin, blockEnd).clone(),
                     shiftedRight.rowRange(blockBegin, blockEnd).clone(), size, 0, kPathCount);
    if (block.type() != CV_16S || block.rows != blockEnd - blockBegin || block.cols != width) {
      FW_LOG(fw::kLogError) << "SGM_GPU::Compute: the matcher returned a " << block.cols << " x "
                            << block.rows << " map for a " << width << " x "
                            << blockEnd - blockBegin << " band";
      return sv::Var();
    }
    block.rowRange(begin - blockBegin, end - blockBegin).copyTo(fixedPoint.rowRange(begin, end));
  }

  cv::Mat disparity(rows, cols, CV_32F, cv::Scalar(0));
  // Rejected pixels (-16) become dmin - 1; the first dmin columns stay 0.
  fixedPoint.convertTo(disparity.colRange(dmin, cols), CV_32F, 1.0 / 16, dmin);
  return disparityResult(disparity);
}
