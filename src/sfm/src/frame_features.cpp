#include "frame_features.h"

#include "framework/camera_parameters.h"
#include "patch_correlation.h"
#include "sift_blobs.h"
#include "turned_patch.h"

#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace sfm {
namespace {

constexpr int kBorder = 31;  // pixels: the ORB descriptor's patch size and the edge left out
constexpr double kSiftContrast = 0.02;  // half OpenCV's default: survey texture is often faint
// Textured ground has its strongest SIFT blobs above this contrast, faint fields do not: SIFT
// looks for them above it first where the frame taken last had its strongest above it (the
// ground of one flight looks alike from frame to frame), for less time spent on faint blobs.
// The blobs and their order are the same whichever frame went last (only found sooner or
// later), so frames taken on any threads in any order may share the guess.
constexpr double kSiftFirstContrast = 1.5 * kSiftContrast;
std::atomic<double> last_sift_contrast{kSiftContrast};
// Longest side of the copy SIFT takes its blobs from, whatever longer side the options ask
// for: SIFT searches its copy enlarged twice for its finest blobs, so a 1000-pixel copy is
// searched at the 2000 pixels a 12 MP frame is decoded at, where a 1600-pixel one would be
// searched at 3200, finer than the decoded pixels, for two and a half times the time and
// memory (its scale pyramid, ~450 MB at 1600, set the run's peak).
constexpr int kSiftLongestSide = 1000;
constexpr int kTemplateSide = 9;  // of the patch compared, inside the stored one
constexpr double kLeastCorrelation = 0.8;
constexpr double kMostMove = 1.5;  // pixels of the reduced copy
constexpr int kAlignSteps = 8;
// Least departure of a warp's entries from the identity's (a turn of a third of a degree)
// for a's patch to be warped before it is compared.
constexpr float kLeastWarp = 0.005f;
constexpr int kFastThreshold = 5;
constexpr int kCandidatesPerFeature = 4;  // corners scored for each one kept
constexpr int kGridCells = 8;             // across the image's width
// Windows across the image's long side its brightness is evened over (no narrower than the
// least window, pixels); the grey level the mean brightness becomes, and the darkest mean
// brightness taken as it is (black borders and shadows are not lifted from the noise).
constexpr int kBrightnessWindowsAcross = 8;
constexpr int kLeastBrightnessWindow = 31;
constexpr double kMiddleGrey = 128.0;
constexpr double kDarkest = 16.0;

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

// The image divided by its mean brightness around each pixel, brought back to grey levels
// about the middle: a vignetted corner or a frame exposed darker than its neighbours shows
// its texture with the contrast of the image's centre, so that the corner detector's fixed
// threshold finds the same corners in two views of one place.
cv::Mat evenBrightness(const cv::Mat& grey) {
  const int window =
      std::max(kLeastBrightnessWindow, std::max(grey.cols, grey.rows) / kBrightnessWindowsAcross) |
      1;
  cv::Mat value, mean;
  grey.convertTo(value, CV_32F);
  cv::boxFilter(value, mean, CV_32F, cv::Size(window, window), cv::Point(-1, -1), true,
                cv::BORDER_REFLECT);
  cv::Mat even;
  cv::divide(value, cv::max(mean, kDarkest), even, kMiddleGrey);
  cv::Mat out;
  even.convertTo(out, CV_8U);
  return out;
}

// Corners of the image cell by cell of the spreading grid, each cell with a corner threshold
// of its own: the fixed one where its texture has the contrast for it, down to its standard
// deviation where it is fainter (a field's furrows), so that faint cells offer corners for
// their share too. The detector skips its border in every cell, so each looks a border
// beyond its cell and keeps the corners inside it. At most `candidates` corners in all, the
// strongest of each cell alike.
std::vector<cv::KeyPoint> cornersByCell(cv::ORB& orb, const cv::Mat& image, int candidates) {
  const int across = kGridCells, down = std::max(1, kGridCells * image.rows / image.cols);
  orb.setMaxFeatures(std::max(1, candidates / (across * down)));
  const cv::Rect whole(0, 0, image.cols, image.rows);
  std::vector<cv::KeyPoint> out;
  for (int cy = 0; cy < down; ++cy) {
    for (int cx = 0; cx < across; ++cx) {
      const cv::Rect cell(cv::Point(cx * image.cols / across, cy * image.rows / down),
                          cv::Point((cx + 1) * image.cols / across, (cy + 1) * image.rows / down));
      cv::Scalar mean, deviation;
      cv::meanStdDev(image(cell), mean, deviation);
      orb.setFastThreshold(std::clamp(static_cast<int>(deviation[0]), 1, kFastThreshold));
      const cv::Rect looked =
          (cell + cv::Size(2 * kBorder, 2 * kBorder) - cv::Point(kBorder, kBorder)) & whole;
      std::vector<cv::KeyPoint> found;
      orb.detect(image(looked), found);
      for (cv::KeyPoint& k : found) {
        k.pt += cv::Point2f(looked.tl());
        if (cell.contains(cv::Point(cvFloor(k.pt.x), cvFloor(k.pt.y)))) out.push_back(k);
      }
    }
  }
  return out;
}

// The strongest corners of each cell of a grid over the image, an equal share per cell, the
// shares cells cannot fill going to the strongest corners left anywhere: corners taken by
// strength alone crowd onto buildings and roads and leave the faint texture of fields, most
// of a survey's ground, without any.
std::vector<cv::KeyPoint> spreadOverImage(std::vector<cv::KeyPoint> corners, cv::Size size,
                                          int count) {
  if (static_cast<int>(corners.size()) <= count) return corners;
  std::sort(corners.begin(), corners.end(),
            [](const cv::KeyPoint& a, const cv::KeyPoint& b) { return a.response > b.response; });
  const int across = kGridCells, down = std::max(1, kGridCells * size.height / size.width);
  const int share = count / (across * down);
  std::vector<int> taken(across * down, 0);
  std::vector<char> chosen(corners.size(), 0);
  std::vector<cv::KeyPoint> out;
  out.reserve(count);
  for (size_t i = 0; i < corners.size(); ++i) {
    const int cx =
        std::clamp(static_cast<int>(corners[i].pt.x * across / size.width), 0, across - 1);
    const int cy = std::clamp(static_cast<int>(corners[i].pt.y * down / size.height), 0, down - 1);
    if (taken[cy * across + cx] < share) {
      ++taken[cy * across + cx];
      chosen[i] = 1;
      out.push_back(corners[i]);
    }
  }
  for (size_t i = 0; i < corners.size() && static_cast<int>(out.size()) < count; ++i) {
    if (!chosen[i]) out.push_back(corners[i]);
  }
  return out;
}

}  // namespace

FrameFeatures extractFeatures(const fw::GImage& image, const CameraIntrinsics& camera,
                              const RefinementOptions& options, int reduction) {
  FrameFeatures features;
  const cv::Mat pixels = image;
  const fw::CameraParameters calibrated = fw::CameraParameters::decode(camera.calibration);
  const int width = static_cast<int>(calibrated.width);
  const int height = static_cast<int>(calibrated.height);
  if (pixels.empty() || pixels.depth() != CV_8U || reduction < 1 ||
      pixels.cols != (width + reduction - 1) / reduction ||
      pixels.rows != (height + reduction - 1) / reduction) {
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
  // Pixels of the reduced copy per pixel of the full image. The decoder's reduction is the
  // halvings `reduce` would make itself, so the copy is the one a whole image gives.
  const int long_side = options.detector == FeatureDetector::kSift
                            ? std::min(options.image_long_side, kSiftLongestSide)
                            : options.image_long_side;
  const double scale = std::min(1.0 / reduction, double(long_side) / std::max(width, height));
  const cv::Mat reduced = reduce(grey, scale * reduction);

  std::vector<cv::KeyPoint> keypoints;
  if (options.detector == FeatureDetector::kSift) {
    // On the image divided by its local mean brightness, as the corners below: the darker
    // corners of a vignetted lens keep their share of features, and those features carry
    // most of what tells a frame's tilt from its offset over flat ground.
    SiftBlobs blobs = strongestSiftBlobs(
        evenBrightness(reduced), options.max_features, kSiftContrast, kSiftFirstContrast,
        last_sift_contrast.load(std::memory_order_relaxed) >= kSiftFirstContrast);
    last_sift_contrast.store(blobs.cleared_contrast, std::memory_order_relaxed);
    keypoints = std::move(blobs.keypoints);
    features.descriptors = blobs.descriptors;
  } else {
    // One scale level: the frames of a survey see the ground from much the same height, and
    // corners found at the finest level can be placed to a fraction of a pixel.
    const cv::Ptr<cv::ORB> orb =
        cv::ORB::create(kCandidatesPerFeature * options.max_features, 1.2f, 1, kBorder, 0, 2,
                        cv::ORB::HARRIS_SCORE, kBorder, kFastThreshold);
    const cv::Mat even = evenBrightness(reduced);
    keypoints = cornersByCell(*orb, even, kCandidatesPerFeature * options.max_features);
    keypoints = spreadOverImage(std::move(keypoints), reduced.size(), options.max_features);
    orb->compute(even, keypoints, features.descriptors);
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

std::optional<cv::Point2f> placeOnto(const FrameFeatures& a, int i, const FrameFeatures& b, int j,
                                     const cv::Matx22f& warp) {
  constexpr int side = FrameFeatures::kPatchSide;
  constexpr int reach = (side - kTemplateSide) / 2;
  if (a.patches.rows <= i || b.patches.rows <= j || a.scale != b.scale) return std::nullopt;
  // a's patch warped about its centre as b sees it: views of a return leg, turned half round,
  // and views tilted apart, whose patches are also stretched, compare as well as neighbours of
  // one strip. A warp moving the template's corners by a few hundredths of a pixel is left out.
  const bool warped = std::abs(warp(0, 0) - 1.0f) > kLeastWarp ||
                      std::abs(warp(0, 1)) > kLeastWarp || std::abs(warp(1, 0)) > kLeastWarp ||
                      std::abs(warp(1, 1) - 1.0f) > kLeastWarp;
  cv::Mat whole_a = a.patches.row(i).reshape(1, side);
  if (warped) whole_a = turnedPatch(whole_a, warp);
  const cv::Mat templ = whole_a(cv::Rect(reach, reach, kTemplateSide, kTemplateSide));
  const cv::Mat search = b.patches.row(j).reshape(1, side);
  constexpr int shifts = side - kTemplateSide + 1;
  const auto [peak, at] = bestCorrelation(search, templ);
  if (!(peak >= kLeastCorrelation) || at.x == 0 || at.y == 0 || at.x == shifts - 1 ||
      at.y == shifts - 1)
    return std::nullopt;
  // From the best whole shift, Gauss-Newton steps on the shift that carries a's template
  // onto b's patch (both less their means), b read between its pixels bilinearly: finer than
  // a parabola through the correlation peak, which leans towards whole pixels.
  cv::Mat t;
  templ.convertTo(t, CV_32F);
  t -= cv::mean(t)[0];
  // b's patch as floats and its gradients, half the difference of the two neighbours,
  // mirrored at the edges (what a one-pixel Sobel filter at half scale gives, to the bit),
  // in buffers of the stack: the patch is small and this runs for every match.
  float image_values[side * side], gx_values[side * side], gy_values[side * side];
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) image_values[y * side + x] = search.at<uchar>(y, x);
  const auto mirrored = [](int i) { return i < 0 ? -i : i >= side ? 2 * side - 2 - i : i; };
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      gx_values[y * side + x] =
          (image_values[y * side + mirrored(x + 1)] - image_values[y * side + mirrored(x - 1)]) *
          0.5f;
      gy_values[y * side + x] =
          (image_values[mirrored(y + 1) * side + x] - image_values[mirrored(y - 1) * side + x]) *
          0.5f;
    }
  }
  // b's patch and its gradients read at one point between pixels, with one set of weights.
  struct Bilinear {
    int at;  // index of the pixel at the top left
    float fx, fy;
    Bilinear(float x, float y) {
      const int x0 = static_cast<int>(std::floor(x)), y0 = static_cast<int>(std::floor(y));
      at = y0 * side + x0;
      fx = x - x0;
      fy = y - y0;
    }
    float of(const float* m) const {
      return (m[at] * (1 - fx) + m[at + 1] * fx) * (1 - fy) +
             (m[at + side] * (1 - fx) + m[at + side + 1] * fx) * fy;
    }
  };
  constexpr int kSamples = kTemplateSide * kTemplateSide;
  float sample[kSamples], sample_gx[kSamples], sample_gy[kSamples];
  const float* templ_values = t.ptr<float>();  // continuous: a fresh matrix
  float sx = static_cast<float>(at.x - reach), sy = static_cast<float>(at.y - reach);
  for (int step = 0; step < kAlignSteps; ++step) {
    // Every sample must keep a neighbour on its right and below inside b's patch.
    if (!(std::abs(sx) < reach - 0.01f && std::abs(sy) < reach - 0.01f)) return std::nullopt;
    float mean = 0.0f;
    for (int v = 0; v < kTemplateSide; ++v)
      for (int u = 0; u < kTemplateSide; ++u) {
        const Bilinear at_sample(reach + u + sx, reach + v + sy);
        const int k = v * kTemplateSide + u;
        sample[k] = at_sample.of(image_values);
        sample_gx[k] = at_sample.of(gx_values);
        sample_gy[k] = at_sample.of(gy_values);
        mean += sample[k];
      }
    mean /= kSamples;
    double hxx = 0, hxy = 0, hyy = 0, bx = 0, by = 0;
    for (int k = 0; k < kSamples; ++k) {
      const double r = sample[k] - mean - templ_values[k];
      const double ex = sample_gx[k], ey = sample_gy[k];
      hxx += ex * ex;
      hxy += ex * ey;
      hyy += ey * ey;
      bx += ex * r;
      by += ey * r;
    }
    const double det = hxx * hyy - hxy * hxy;
    if (!(det > 1e-9 * (hxx + hyy) * (hxx + hyy))) return std::nullopt;
    const double dx = -(hyy * bx - hxy * by) / det, dy = -(hxx * by - hxy * bx) / det;
    sx += static_cast<float>(dx);
    sy += static_cast<float>(dy);
    if (dx * dx + dy * dy < 1e-6) break;
  }
  // In the reduced copies: a's patch centre shows in b (sx, sy) from b's patch centre, and
  // a's feature lies where it does from its patch centre.
  const float scale = static_cast<float>(b.scale);
  const cv::Point2f in_a((a.pixels[i].x + 0.5f) * scale - 0.5f,
                         (a.pixels[i].y + 0.5f) * scale - 0.5f);
  const cv::Point2f in_b((b.pixels[j].x + 0.5f) * scale - 0.5f,
                         (b.pixels[j].y + 0.5f) * scale - 0.5f);
  const cv::Point2f centre_a(a.patch_centres[i]), centre_b(b.patch_centres[j]);
  const cv::Point2f offset = in_a - centre_a;
  const cv::Point2f moved = centre_b + cv::Point2f(sx, sy) +
                            (warped ? cv::Point2f(warp * cv::Vec2f(offset.x, offset.y)) : offset);
  if (!(cv::norm(moved - in_b) <= kMostMove)) return std::nullopt;
  return cv::Point2f((moved.x + 0.5f) / scale - 0.5f, (moved.y + 0.5f) / scale - 0.5f);
}

bool alignFeature(const FrameFeatures& a, int i, FrameFeatures& b, int j,
                  const CameraIntrinsics& camera, const cv::Matx22f& warp) {
  const std::optional<cv::Point2f> full = placeOnto(a, i, b, j, warp);
  if (!full) return false;
  b.pixels[j] = *full;
  const auto n = camera.unproject(full->x, full->y);
  b.normalised[j] = cv::Point2d(n[0], n[1]);
  return true;
}

}  // namespace sfm
