#include "src/TerrainFusion/src/tile_model.h"

#include "src/TerrainFusion/src/laplacian_pyramid.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <limits>

namespace tile_model {
namespace {

bool fits(const fw::GImage& image, int size, int type) {
  return !image.empty() && image.cols == size && image.rows == size && image.type == type;
}

bool stackFits(const std::vector<fw::GImage>& stack, int type) {
  if (stack.size() != static_cast<size_t>(kBandLevels) + 1) return false;
  for (int l = 0; l <= kBandLevels; ++l) {
    if (!fits(stack[l], kTileSize >> l, type)) return false;
  }
  return true;
}

cv::Mat shareOr(const fw::GImage& image, int size, int type, const cv::Scalar& fill) {
  if (fits(image, size, type)) return cv::Mat(image);
  return cv::Mat(size, size, type, fill);
}

}  // namespace

Rasters lentRasters(const fw::ImageTile& stored) {
  Rasters r;
  r.dom = shareOr(stored.GetImage(), kTileSize, CV_8UC3, cv::Scalar::all(0));
  r.weight = shareOr(stored.GetWeight(), kTileSize, CV_8UC1, cv::Scalar::all(0));
  r.heights = shareOr(stored.GetElevation(), kCellsPerTile, CV_32FC1, cv::Scalar::all(kNoHeight));
  return r;
}

Rasters privateRasters(const fw::ImageTile& stored) {
  const Rasters lent = lentRasters(stored);
  return {lent.dom.clone(), lent.weight.clone(), lent.heights.clone()};
}

bool hasValidBandStacks(const TerrainFusionMultiTile& tile) {
  return stackFits(tile.bandStack1, CV_16SC3) && stackFits(tile.bandStack3, CV_8UC1);
}

void rebuildBandStacks(const cv::Mat& dom, const cv::Mat& weight, std::vector<cv::Mat>& bands,
                       std::vector<cv::Mat>& weights) {
  buildLaplacianPyramid(dom, kBandLevels, bands);
  buildWeightPyramid(weight.clone(), kBandLevels, weights);
}

std::vector<cv::Mat> lentBands(const fw::TileBase& stored) {
  const auto* multi = dynamic_cast<const TerrainFusionMultiTile*>(&stored);
  if (multi && hasValidBandStacks(*multi)) return toMats(multi->bandStack1);
  const auto* image = dynamic_cast<const fw::ImageTile*>(&stored);
  // Only read: the pyramid's bands are new images.
  const cv::Mat dom = image ? shareOr(image->GetImage(), kTileSize, CV_8UC3, cv::Scalar::all(0))
                            : cv::Mat(kTileSize, kTileSize, CV_8UC3, cv::Scalar::all(0));
  std::vector<cv::Mat> bands;
  buildLaplacianPyramid(dom, kBandLevels, bands);
  return bands;
}

void privateBandStacks(const fw::TileBase& stored, const Rasters& rasters,
                       std::vector<cv::Mat>& bands, std::vector<cv::Mat>& weights) {
  const auto* multi = dynamic_cast<const TerrainFusionMultiTile*>(&stored);
  if (!multi || !hasValidBandStacks(*multi)) {
    rebuildBandStacks(rasters.dom, rasters.weight, bands, weights);
    return;
  }
  bands.clear();
  weights.clear();
  for (const auto& b : multi->bandStack1) bands.push_back(cv::Mat(b).clone());
  for (const auto& w : multi->bandStack3) weights.push_back(cv::Mat(w).clone());
}

uint8_t cellWeight(const cv::Mat& weight, int r, int c) {
  uint8_t strongest = 0;
  for (int y = r * kPixelsPerCell; y < (r + 1) * kPixelsPerCell; ++y) {
    const uint8_t* row = weight.ptr<uint8_t>(y) + c * kPixelsPerCell;
    for (int x = 0; x < kPixelsPerCell; ++x) strongest = std::max(strongest, row[x]);
  }
  return strongest;
}

void heightRange(const cv::Mat& heights, int side, cv::Mat& low, cv::Mat& high) {
  low.create(heights.size(), CV_32FC1);
  high.create(heights.size(), CV_32FC1);
  for (int r = 0; r < heights.rows; ++r) {
    const float* h = heights.ptr<float>(r);
    float* l = low.ptr<float>(r);
    float* u = high.ptr<float>(r);
    for (int c = 0; c < heights.cols; ++c) {
      const bool there = hasHeight(h[c]);
      l[c] = there ? h[c] : std::numeric_limits<float>::max();
      u[c] = there ? h[c] : -std::numeric_limits<float>::max();
    }
  }
  const cv::Mat around = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(side, side));
  cv::erode(low, low, around, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
  cv::dilate(high, high, around, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
}

void maskHeightsByWeight(cv::Mat& heights, const cv::Mat& weight) {
  if (heights.empty() || weight.empty()) return;
  cv::Mat resized;
  cv::resize(weight, resized, heights.size(), 0, 0, cv::INTER_LINEAR);
  heights.setTo(cv::Scalar::all(kNoHeight), resized == 0);
}

std::shared_ptr<TerrainFusionMultiTile> makeTile(const Rasters& rasters, int32_t x, int32_t y,
                                                 int32_t z, double stamp,
                                                 const std::vector<cv::Mat>& bands,
                                                 const std::vector<cv::Mat>& weights,
                                                 const fw::GImage& auxRaster, uint32_t tag) {
  auto tile = std::make_shared<TerrainFusionMultiTile>(fw::GImage(rasters.dom),
                                                       fw::GImage(rasters.heights), x, y, z, stamp,
                                                       fw::GImage(rasters.weight), auxRaster, tag);
  tile->bandStack1 = toImages(bands);
  tile->bandStack3 = toImages(weights);
  tile->SetModified(true);
  return tile;
}

std::vector<fw::GImage> toImages(const std::vector<cv::Mat>& mats) {
  std::vector<fw::GImage> images;
  images.reserve(mats.size());
  for (const auto& m : mats) images.emplace_back(m);
  return images;
}

std::vector<cv::Mat> toMats(const std::vector<fw::GImage>& images) {
  std::vector<cv::Mat> mats;
  mats.reserve(images.size());
  for (const auto& i : images) mats.push_back(cv::Mat(i));
  return mats;
}

}  // namespace tile_model
