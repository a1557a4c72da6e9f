#include "src/TerrainFusion/src/footprint_sampler.h"

#include <algorithm>
#include <cmath>

FootprintSampler::FootprintSampler(const cv::Mat& image, const cv::Mat& seen,
                                   const cv::Vec4d& intrinsics, const cv::Vec3d& alongColumn,
                                   const cv::Vec3d& alongRow, int samplesPerAxis)
    : image_(image),
      seen_(seen),
      fx_(intrinsics[0]),
      fy_(intrinsics[1]),
      cx_(intrinsics[2]),
      cy_(intrinsics[3]) {
  const int k = std::clamp(samplesPerAxis, 1, kMaxSamplesPerAxis);
  for (int j = 0; j < k; ++j) {
    const double dy = (j + 0.5) / k - 0.5;
    for (int i = 0; i < k; ++i) {
      const double dx = (i + 0.5) / k - 0.5;
      offsets_.push_back(dx * alongColumn + dy * alongRow);
    }
  }
}

int FootprintSampler::samplesFor(double pixelSize, double imageGsd) {
  const double ratio = pixelSize / imageGsd;
  if (!(ratio > 1.0)) return 1;
  return ratio >= kMaxSamplesPerAxis ? kMaxSamplesPerAxis : int(std::ceil(ratio));
}

cv::Vec3d FootprintSampler::bilinear(double u, double v) const {
  const double x = std::clamp(u, 0.0, double(image_.cols - 1));
  const double y = std::clamp(v, 0.0, double(image_.rows - 1));
  const int x0 = int(x), y0 = int(y);
  const int x1 = std::min(x0 + 1, image_.cols - 1), y1 = std::min(y0 + 1, image_.rows - 1);
  const double ax = x - x0, ay = y - y0;
  const cv::Vec3b* top = image_.ptr<cv::Vec3b>(y0);
  const cv::Vec3b* bottom = image_.ptr<cv::Vec3b>(y1);
  cv::Vec3d out;
  for (int ch = 0; ch < 3; ++ch) {
    out[ch] = (top[x0][ch] * (1.0 - ax) + top[x1][ch] * ax) * (1.0 - ay) +
              (bottom[x0][ch] * (1.0 - ax) + bottom[x1][ch] * ax) * ay;
  }
  return out;
}

bool FootprintSampler::seenAt(double u, double v) const {
  if (seen_.empty()) return true;
  const int x = std::clamp(int(std::lround(u)), 0, seen_.cols - 1);
  const int y = std::clamp(int(std::lround(v)), 0, seen_.rows - 1);
  return seen_.at<uchar>(y, x) != 0;
}

cv::Vec3b FootprintSampler::mean(const cv::Vec3d& centre) const {
  cv::Vec3d sum(0.0, 0.0, 0.0);
  int count = 0;
  for (const cv::Vec3d& offset : offsets_) {
    const cv::Vec3d c = centre + offset;
    if (!(c[2] > 0.0)) continue;  // behind the camera
    const double u = fx_ * c[0] / c[2] + cx_, v = fy_ * c[1] / c[2] + cy_;
    if (!seenAt(u, v)) continue;
    sum += bilinear(u, v);
    ++count;
  }
  if (count == 0) {
    sum = bilinear(fx_ * centre[0] / centre[2] + cx_, fy_ * centre[1] / centre[2] + cy_);
    count = 1;
  }
  return cv::Vec3b(cv::saturate_cast<uchar>(sum[0] / count),
                   cv::saturate_cast<uchar>(sum[1] / count),
                   cv::saturate_cast<uchar>(sum[2] / count));
}
