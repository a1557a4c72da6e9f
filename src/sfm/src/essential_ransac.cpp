#include "essential_ransac.h"

#include "five_point.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace sfm {
namespace {

constexpr int kSampleSize = 5;

// Matches within the threshold of `e` (squared Sampson distance), marked in `mask`. The
// count stops, at `to_beat` or less, once the matches left cannot take it past `to_beat`:
// such a model is dropped whatever its exact count.
int countInliers(const Eigen::Matrix3d& e, const std::vector<cv::Point2d>& pa,
                 const std::vector<cv::Point2d>& pb, double squared_threshold, int to_beat,
                 uchar* mask) {
  constexpr size_t kCheckEvery = 32;
  const size_t n = pa.size();
  int count = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i % kCheckEvery == 0 && count + static_cast<int>(n - i) <= to_beat) return count;
    const bool inlier = withinSampson(e, Eigen::Vector3d(pa[i].x, pa[i].y, 1.0),
                                      Eigen::Vector3d(pb[i].x, pb[i].y, 1.0), squared_threshold);
    mask[i] = inlier;
    count += inlier;
  }
  return count;
}

}  // namespace

int samplesNeeded(double confidence, double inlier_share, int sample_size, int most) {
  const double all_inliers = std::pow(std::clamp(inlier_share, 0.0, 1.0), sample_size);
  if (all_inliers >= 1.0) return 1;
  const double miss = std::log(std::max(1.0 - confidence, 1e-300));
  const double per_sample = std::log1p(-all_inliers);
  if (!(per_sample < 0.0) || -miss >= most * -per_sample) return most;
  return std::max(1, static_cast<int>(std::ceil(miss / per_sample)));
}

EssentialFit fitEssential(const std::vector<cv::Point2d>& pa, const std::vector<cv::Point2d>& pb,
                          const EssentialSearch& search) {
  if (pa.size() != pb.size()) throw std::invalid_argument("unpaired matches");
  EssentialFit fit;
  const int n = static_cast<int>(pa.size());
  fit.mask = cv::Mat::zeros(n, 1, CV_8U);
  if (n < kSampleSize) return fit;
  cv::RNG rng(search.seed);
  const double squared_threshold = search.threshold * search.threshold;
  std::vector<uchar> mask(n);
  Eigen::Matrix3d best_e;
  int best = kSampleSize - 1;  // a model must fit more matches than its sample
  int needed = search.max_samples;
  for (int drawn = 0; drawn < needed; ++drawn) {
    std::array<int, kSampleSize> chosen;
    std::array<Eigen::Vector2d, kSampleSize> a, b;
    for (int k = 0; k < kSampleSize; ++k) {
      int i;
      do {
        i = rng.uniform(0, n);
      } while (std::find(chosen.begin(), chosen.begin() + k, i) != chosen.begin() + k);
      chosen[k] = i;
      a[k] = Eigen::Vector2d(pa[i].x, pa[i].y);
      b[k] = Eigen::Vector2d(pb[i].x, pb[i].y);
    }
    for (const Eigen::Matrix3d& e : essentialsOfFive(a, b)) {
      const int count = countInliers(e, pa, pb, squared_threshold, best, mask.data());
      if (count <= best) continue;
      best = count;
      best_e = e;
      std::copy(mask.begin(), mask.end(), fit.mask.ptr<uchar>());
      needed = samplesNeeded(search.confidence, double(count) / n, kSampleSize, needed);
    }
  }
  if (best < kSampleSize) return fit;
  cv::Mat e(3, 3, CV_64F);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) e.at<double>(r, c) = best_e(r, c);
  fit.e = e;
  fit.inliers = best;
  return fit;
}

}  // namespace sfm
