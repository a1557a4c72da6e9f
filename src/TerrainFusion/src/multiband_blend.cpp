#include "framework/log.h"
#include "src/TerrainFusion/src/laplacian_pyramid.h"
#include "src/TerrainFusion/src/tile_clock.h"
#include "src/TerrainFusion/src/tile_writers.h"

#include <opencv2/imgproc.hpp>

#include <array>
#include <mutex>
#include <vector>

using tile_model::kBandLevels;
using tile_model::kTileSize;

namespace {

void mergeIntoTile(TileAccess& access, const TilePiece& piece, int32_t x, int32_t y, int32_t z) {
  std::lock_guard<std::mutex> lock(access.lockFor(x, y, z));
  const auto stored = access.tiles().GetTile(x, y, z);
  const auto image = std::dynamic_pointer_cast<fw::ImageTile>(stored);
  std::shared_ptr<TerrainFusionMultiTile> tile;
  if (!image) {
    tile_model::Rasters r = copyRasters(piece.rasters);
    tile_model::maskHeightsByWeight(r.heights, r.weight);
    tile = tile_model::makeTile(r, x, y, z, tileClockSeconds(), copyMats(piece.bands),
                                copyMats(piece.weights));
  } else {
    tile_model::Rasters r = tile_model::privateRasters(*image);
    std::vector<cv::Mat> bands, weights;
    tile_model::privateBandStacks(*image, r, bands, weights);
    mergeHeightsAndColours(piece.rasters, r);
    mergeBands(piece, bands, weights);
    tile_model::maskHeightsByWeight(r.heights, r.weight);
    const auto fusion = std::dynamic_pointer_cast<TerrainFusionTile>(stored);
    tile = tile_model::makeTile(r, x, y, z, tileClockSeconds(), bands, weights,
                                image->GetAuxRaster(), fusion ? fusion->GetTag() : 0);
  }
  access.tiles().SetTile(x, y, z, tile);
}

// The tile's bands with a border of 2^(n - l + 1) pixels at level l from the neighbours'
// facing edges. Each collapse step spoils about twice the coarser level's spoilt rim plus two
// pixels at a mosaic's edge (2, 6, 14, 30, 62 pixels from the coarsest level down), so the
// border must reach 64 pixels at level 0 for the tile itself to come out exact.
int mosaicBorder(int n, int l) { return 2 << (n - l); }

using Neighbourhood = std::array<std::vector<cv::Mat>, 9>;

// Fills dst with src mirrored (flip code of cv::flip); both lie in m and do not overlap.
void mirror(cv::Mat& m, const cv::Rect& dst, const cv::Rect& src, int flipCode) {
  cv::Mat flipped;
  cv::flip(m(src), flipped, flipCode);
  flipped.copyTo(m(dst));
}

// Where a neighbour is missing, the band as assembled so far is mirrored at the shared edge
// (reflect 101), sides first, then the rows above and below over the whole width, so that a
// missing corner continues the neighbours next to it.
cv::Mat mosaicOf(const Neighbourhood& around, const std::vector<cv::Mat>& own, int l, int p) {
  const int s = own[l].rows;
  const int w = s + 2 * p;
  cv::Mat m(w, w, own[l].type(), cv::Scalar::all(0));
  const auto has = [&](int i, int j) { return (i == 1 && j == 1) || !around[3 * j + i].empty(); };
  const auto place = [&](int i, int j) {
    const std::vector<cv::Mat>& bands = (i == 1 && j == 1) ? own : around[3 * j + i];
    const cv::Rect from(i == 0 ? s - p : 0, j == 0 ? s - p : 0, i == 1 ? s : p, j == 1 ? s : p);
    const cv::Point to(i == 0 ? 0 : (i == 1 ? p : s + p), j == 0 ? 0 : (j == 1 ? p : s + p));
    bands[l](from).copyTo(m(cv::Rect(to, from.size())));
  };
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i)
      if (has(i, j)) place(i, j);
  const int top = 0, bottom = s + p;
  for (int j : {0, 1, 2}) {
    if (j != 1 && !has(1, j)) continue;  // rows without their middle part are mirrored below
    const int y = j == 0 ? top : (j == 1 ? p : bottom);
    const int h = j == 1 ? s : p;
    if (!has(0, j)) mirror(m, cv::Rect(0, y, p, h), cv::Rect(p + 1, y, p, h), 1);
    if (!has(2, j)) mirror(m, cv::Rect(s + p, y, p, h), cv::Rect(s - 1, y, p, h), 1);
  }
  if (!has(1, 0)) {
    mirror(m, cv::Rect(0, top, w, p), cv::Rect(0, p + 1, w, p), 0);
    for (int i : {0, 2})
      if (has(i, 0)) place(i, 0);
  }
  if (!has(1, 2)) {
    mirror(m, cv::Rect(0, bottom, w, p), cv::Rect(0, s - 1, w, p), 0);
    for (int i : {0, 2})
      if (has(i, 2)) place(i, 2);
  }
  return m;
}

std::vector<cv::Mat> bandMosaics(const std::vector<cv::Mat>& own, const Neighbourhood& around) {
  const int n = static_cast<int>(own.size()) - 1;
  std::vector<cv::Mat> mosaics(own.size());
  for (int l = 0; l <= n; ++l) mosaics[l] = mosaicOf(around, own, l, mosaicBorder(n, l));
  return mosaics;
}

bool collapseTile(TileAccess& access, int32_t x, int32_t y, int32_t z) {
  Neighbourhood around;
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) {
      if (i == 1 && j == 1) continue;
      const auto neighbour = access.readTile(x + i - 1, y + j - 1, z);
      if (neighbour) around[3 * j + i] = tile_model::lentBands(*neighbour);
    }
  }
  std::lock_guard<std::mutex> lock(access.lockFor(x, y, z));
  const auto stored = access.tiles().GetTile(x, y, z);
  const auto image = std::dynamic_pointer_cast<fw::ImageTile>(stored);
  if (!image) {
    FW_LOG(fw::kLogError) << "Can not get tile while multiband. ";
    return false;
  }
  tile_model::Rasters r = tile_model::privateRasters(*image);
  std::vector<cv::Mat> bands, weights;
  const auto multi = std::dynamic_pointer_cast<TerrainFusionMultiTile>(stored);
  if (multi && tile_model::hasValidBandStacks(*multi)) {
    bands = tile_model::toMats(multi->bandStack1);  // shared, only read
    weights = tile_model::toMats(multi->bandStack3);
  } else {
    tile_model::rebuildBandStacks(r.dom, r.weight, bands, weights);
  }
  std::vector<cv::Mat> mosaics = bandMosaics(bands, around);
  collapseLaplacianPyramid(mosaics);
  const int border = mosaicBorder(kBandLevels, 0);
  cv::Mat dom;
  mosaics[0](cv::Rect(border, border, kTileSize, kTileSize)).convertTo(dom, CV_8U);
  r.dom = dom;
  const auto fusion = std::dynamic_pointer_cast<TerrainFusionTile>(stored);
  access.tiles().SetTile(
      x, y, z,
      tile_model::makeTile(r, x, y, z, tileClockSeconds(), bands, weights, image->GetAuxRaster(),
                           fusion ? fusion->GetTag() : 0));
  return true;
}

}  // namespace

bool blendTiles(TileAccess& access, const TileRasters& rasters, int32_t zoom, int renderZooms) {
  if (!rasters.fitsSpan()) return false;
  const FramePyramids pyramids(rasters);
  FW_LOG(fw::kLogInfo) << "Generating Tiles: " << rasters.tilesAcross() << "x"
                       << rasters.tilesDown();
  const auto x0 = static_cast<int32_t>(rasters.firstTile.x);
  const auto y0 = static_cast<int32_t>(rasters.firstTile.y);
  const auto x1 = static_cast<int32_t>(rasters.lastTile.x);
  const auto y1 = static_cast<int32_t>(rasters.lastTile.y);
  for (int32_t y = y0; y <= y1; ++y) {
    for (int32_t x = x0; x <= x1; ++x) {
      mergeIntoTile(access, cutPiece(rasters, pyramids, x - x0, y - y0), x, y, zoom);
    }
  }
  for (int32_t y = y0; y <= y1; ++y) {
    for (int32_t x = x0; x <= x1; ++x) {
      if (!collapseTile(access, x, y, zoom)) return false;
    }
  }
  for (int32_t y = y0; y <= y1; ++y) {
    for (int32_t x = x0; x <= x1; ++x) renderLowerZoomsOf(access, x, y, zoom, renderZooms);
  }
  return true;
}
