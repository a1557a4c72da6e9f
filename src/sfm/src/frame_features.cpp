#include "frame_features.h"

#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace sfm {
namespace {

constexpr int kBorder = 31;  // pixels: the ORB descriptor's patch size and the edge left out
constexpr double kSiftContrast = 0.02;  // half OpenCV's default: survey texture is often faint
constexpr int kTemplateSide = 9;        // of the patch compared, inside the stored one
constexpr double kLeastCorrelation = 0.8;
constexpr double kMostMove = 1.5;  // pixels of the reduced copy

// The image reduced by `scale` (at most 1), pixel centres mapped as (x + 0.5) * scale - 0.5:
// averaging halvings, which are cheap, then one interpolation by the factor left (above one
// half), much cheaper than averaging over a fractional factor at full size.
cv::Mat reduce(const cv::Mat& image, double scale) {
  cv::Mat reduced = image;
  double left = scale;
  while (left <= 0.5) {
    cv::Mat half;
    cv::resize(reduced, half, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    reduced = half;
    left *= 2.0;
  }
  if (left >= 1.0) return reduced;
  cv::Mat out;
  cv::resize(reduced, out, cv::Size(), left, left, cv::INTER_LINEAR);
  return out;
}

}  // namespace

FrameFeatures extractFeatures(const fw::GImage& image, const CameraIntrinsics& camera,
                              const RefinementOptions& options) {
  FrameFeatures features;
  const cv::Mat pixels = image;
  if (pixels.empty() || pixels.depth() != CV_8U ||
      pixels.cols != static_cast<int>(camera.calibration[0]) ||
      pixels.rows != static_cast<int>(camera.calibration[1])) {
    return features;
  }
  cv::Mat grey;
  if (pixels.channels() == 3) {
    cv::cvtColor(pixels, grey, cv::COLOR_BGR2GRAY);
  } else if (pixels.channels() == 4) {
    cv::cvtColor(pixels, grey, cv::COLOR_BGRA2GRAY);
  } else if (pixels.channels() == 1) {
    grey = pixels;
  } else {
    return features;
  }
  const double scale =
      std::min(1.0, double(options.image_long_side) / std::max(grey.cols, grey.rows));
  const cv::Mat reduced = reduce(grey, scale);

  std::vector<cv::KeyPoint> keypoints;
  if (options.detector == FeatureDetector::kSift) {
    cv::SIFT::create(options.max_features, 3, kSiftContrast)
        ->detectAndCompute(reduced, cv::noArray(), keypoints, features.descriptors);
  } else {
    // One scale level: the frames of a survey see the ground from much the same height, and
    // corners found at the finest level can be placed to a fraction of a pixel.
    cv::ORB::create(options.max_features, 1.2f, 1, kBorder, 0, 2, cv::ORB::HARRIS_SCORE, kBorder,
                    10)
        ->detectAndCompute(reduced, cv::noArray(), keypoints, features.descriptors);
  }
  if (keypoints.empty()) return features;
  features.scale = scale;
  std::vector<cv::Point2f> corners;
  cv::KeyPoint::convert(keypoints, corners);
  // SIFT places its blobs to a fraction of a pixel already.
  if (options.detector == FeatureDetector::kOrb)
    cv::cornerSubPix(reduced, corners, cv::Size(2, 2), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 10, 0.01));
  // SIFT places its blobs finely itself; ORB's corners are placed finer match by match.
  const bool with_patches = options.detector == FeatureDetector::kOrb;
  constexpr int side = FrameFeatures::kPatchSide;
  cv::Mat padded;
  if (with_patches) {
    features.patches.create(static_cast<int>(corners.size()), side * side, CV_8U);
    cv::copyMakeBorder(reduced, padded, side, side, side, side, cv::BORDER_REPLICATE);
  }
  features.pixels.reserve(corners.size());
  features.normalised.reserve(corners.size());
  for (size_t i = 0; i < corners.size(); ++i) {
    // A corner that drifted off its detection is not a corner: keep where it was found.
    const cv::Point2f k =
        cv::norm(corners[i] - keypoints[i].pt) < 1.0 ? corners[i] : keypoints[i].pt;
    if (with_patches) {
      const cv::Point centre(cvRound(k.x), cvRound(k.y));
      cv::Mat patch = features.patches.row(static_cast<int>(i)).reshape(1, side);
      padded(cv::Rect(centre.x - side / 2 + side, centre.y - side / 2 + side, side, side))
          .copyTo(patch);
      features.patch_centres.push_back(centre);
    }
    // Pixel centres sit at whole coordinates in both images.
    const cv::Point2f full((k.x + 0.5f) / float(scale) - 0.5f, (k.y + 0.5f) / float(scale) - 0.5f);
    features.pixels.push_back(full);
    const auto n = camera.unproject(full.x, full.y);
    features.normalised.emplace_back(n[0], n[1]);
  }
  return features;
}

bool alignFeature(const FrameFeatures& a, int i, FrameFeatures& b, int j,
                  const CameraIntrinsics& camera) {
  constexpr int side = FrameFeatures::kPatchSide;
  constexpr int reach = (side - kTemplateSide) / 2;
  if (a.patches.rows <= i || b.patches.rows <= j || a.scale != b.scale) return false;
  const cv::Mat whole_a = a.patches.row(i).reshape(1, side);
  const cv::Mat templ = whole_a(cv::Rect(reach, reach, kTemplateSide, kTemplateSide));
  const cv::Mat search = b.patches.row(j).reshape(1, side);
  cv::Mat score;
  cv::matchTemplate(search, templ, score, cv::TM_CCOEFF_NORMED);
  double peak = 0.0;
  cv::Point at;
  cv::minMaxLoc(score, nullptr, &peak, nullptr, &at);
  if (!(peak >= kLeastCorrelation) || at.x == 0 || at.y == 0 || at.x == score.cols - 1 ||
      at.y == score.rows - 1)
    return false;
  auto vertex = [](float left, float mid, float right) {
    const float curve = left - 2.0f * mid + right;
    return curve < 0.0f ? 0.5f * (left - right) / curve : 0.0f;
  };
  const float sx = at.x - reach +
                   vertex(score.at<float>(at.y, at.x - 1), score.at<float>(at.y, at.x),
                          score.at<float>(at.y, at.x + 1));
  const float sy = at.y - reach +
                   vertex(score.at<float>(at.y - 1, at.x), score.at<float>(at.y, at.x),
                          score.at<float>(at.y + 1, at.x));
  // In the reduced copies: a's patch centre shows in b (sx, sy) from b's patch centre, and
  // a's feature lies where it does from its patch centre.
  const float scale = static_cast<float>(b.scale);
  const cv::Point2f in_a((a.pixels[i].x + 0.5f) * scale - 0.5f,
                         (a.pixels[i].y + 0.5f) * scale - 0.5f);
  const cv::Point2f in_b((b.pixels[j].x + 0.5f) * scale - 0.5f,
                         (b.pixels[j].y + 0.5f) * scale - 0.5f);
  const cv::Point2f centre_a(a.patch_centres[i]), centre_b(b.patch_centres[j]);
  const cv::Point2f moved = centre_b + cv::Point2f(sx, sy) + (in_a - centre_a);
  if (!(cv::norm(moved - in_b) <= kMostMove)) return false;
  const cv::Point2f full((moved.x + 0.5f) / scale - 0.5f, (moved.y + 0.5f) / scale - 0.5f);
  b.pixels[j] = full;
  const auto n = camera.unproject(full.x, full.y);
  b.normalised[j] = cv::Point2d(n[0], n[1]);
  return true;
}

}  // namespace sfm
