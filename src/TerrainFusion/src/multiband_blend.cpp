#include "framework/log.h"
#include "src/TerrainFusion/src/laplacian_pyramid.h"
#include "src/TerrainFusion/src/tile_clock.h"
#include "src/TerrainFusion/src/tile_writers.h"

#include <opencv2/imgproc.hpp>

#include <array>
#include <mutex>
#include <set>
#include <utility>
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
    mergeHeightsAndColours(piece.rasters, r, piece.gapCells);
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

// Which sides of a tile have a neighbour. The band mosaic reaches over those only: where one
// is missing the mosaic ends at the tile's edge and the collapse takes OpenCV's own border
// there, as the frame's pyramid did where its raster ended, so a frame ending at a tile's
// edge comes back as it was. (Mirrored bands would not: a band's mirror axis at the right
// and bottom edges lies half a pixel off the coarser band's.)
struct Sides {
  bool left, right, top, bottom;
  explicit Sides(const Neighbourhood& around)
      : left(!around[3].empty()),
        right(!around[5].empty()),
        top(!around[1].empty()),
        bottom(!around[7].empty()) {}
};

// Level l of the band mosaic: the tile's band with a border of p pixels from each existing
// side neighbour's facing edge; a corner between two existing sides comes from the corner
// neighbour, or, when that is missing, mirrors the strip next to it.
cv::Mat mosaicOf(const Neighbourhood& around, const std::vector<cv::Mat>& own, int l, int p,
                 const Sides& sides) {
  const int s = own[l].rows;
  const int pl = sides.left ? p : 0, pr = sides.right ? p : 0;
  const int pt = sides.top ? p : 0, pb = sides.bottom ? p : 0;
  cv::Mat m(s + pt + pb, s + pl + pr, own[l].type(), cv::Scalar::all(0));
  const int xs[3] = {0, pl, pl + s}, ys[3] = {0, pt, pt + s};
  const bool columnThere[3] = {sides.left, true, sides.right};
  const bool rowThere[3] = {sides.top, true, sides.bottom};
  for (int j = 0; j < 3; ++j) {
    // The middle strip first: a missing corner on either side mirrors it.
    for (const int i : {1, 0, 2}) {
      if (!columnThere[i] || !rowThere[j]) continue;
      const cv::Rect to(xs[i], ys[j], i == 1 ? s : p, j == 1 ? s : p);
      const bool itself = i == 1 && j == 1;
      if (itself || !around[3 * j + i].empty()) {
        const std::vector<cv::Mat>& bands = itself ? own : around[3 * j + i];
        const cv::Rect from(i == 0 ? s - p : 0, j == 0 ? s - p : 0, to.width, to.height);
        bands[l](from).copyTo(m(to));
      } else if (i == 0) {  // a missing corner: the strip beside it, mirrored at the edge
        mirror(m, to, cv::Rect(pl + 1, ys[j], p, p), 1);
      } else {
        mirror(m, to, cv::Rect(pl + s - 1 - p, ys[j], p, p), 1);
      }
    }
  }
  return m;
}

// The band mosaics of every level but level 0, where the tile's own pixels start at level 0
// and that level's size. Only the tile's own pixels of level 0 are ever read (the collapse
// keeps no more), so level 0's mosaic is never made.
std::vector<cv::Mat> bandMosaics(const std::vector<cv::Mat>& own, const Neighbourhood& around,
                                 cv::Point& origin, cv::Size& finestSize) {
  const int n = static_cast<int>(own.size()) - 1;
  const Sides sides(around);
  std::vector<cv::Mat> mosaics(own.size());
  for (int l = 1; l <= n; ++l) mosaics[l] = mosaicOf(around, own, l, mosaicBorder(n, l), sides);
  const int p = mosaicBorder(n, 0);
  origin = cv::Point(sides.left ? p : 0, sides.top ? p : 0);
  finestSize = cv::Size((sides.left ? p : 0) + kTileSize + (sides.right ? p : 0),
                        (sides.top ? p : 0) + kTileSize + (sides.bottom ? p : 0));
  return mosaics;
}

// Rebuilds the DOM of tile (x, y, z) from its bands and its neighbours'. A tile that must
// exist (one the frame covered) and is missing fails; a missing tile around them is skipped.
bool collapseTile(TileAccess& access, int32_t x, int32_t y, int32_t z, bool mustExist) {
  const int32_t rows = int32_t(1) << z;
  Neighbourhood around;
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) {
      const int32_t ny = y + j - 1;
      if ((i == 1 && j == 1) || ny < 0 || ny >= rows) continue;
      const auto neighbour = access.readTile(wrapColumn(x + i - 1, z), ny, z);
      if (neighbour) around[3 * j + i] = tile_model::lentBands(*neighbour);
    }
  }
  std::lock_guard<std::mutex> lock(access.lockFor(x, y, z));
  const auto stored = access.tiles().GetTile(x, y, z);
  const auto image = std::dynamic_pointer_cast<fw::ImageTile>(stored);
  if (!image) {
    if (!mustExist) return true;
    FW_LOG(fw::kLogError) << "Can not get tile while multiband. ";
    return false;
  }
  // Only the DOM changes, and it is made anew: the weight and heights go on shared.
  tile_model::Rasters r = tile_model::lentRasters(*image);
  std::vector<cv::Mat> bands, weights;
  const auto multi = std::dynamic_pointer_cast<TerrainFusionMultiTile>(stored);
  if (multi && tile_model::hasValidBandStacks(*multi)) {
    bands = tile_model::toMats(multi->bandStack1);  // shared, only read
    weights = tile_model::toMats(multi->bandStack3);
  } else {
    tile_model::rebuildBandStacks(r.dom, r.weight, bands, weights);
  }
  cv::Point origin;
  cv::Size finestSize;
  const std::vector<cv::Mat> mosaics = bandMosaics(bands, around, origin, finestSize);
  cv::Mat dom;
  collapsedWindow(mosaics, bands[0], finestSize, origin).convertTo(dom, CV_8U);
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
  const long long x0 = rasters.firstTile.x, x1 = rasters.lastTile.x;
  const auto y0 = static_cast<int32_t>(rasters.firstTile.y);
  const auto y1 = static_cast<int32_t>(rasters.lastTile.y);
  const int32_t rows = int32_t(1) << zoom;
  // A piece without weight adds nothing: its tile is neither made nor changed.
  std::set<std::pair<int32_t, int32_t>> merged;
  for (int32_t y = y0; y <= y1; ++y) {
    for (long long x = x0; x <= x1; ++x) {
      const TilePiece piece = cutPiece(rasters, pyramids, int(x - x0), y - y0);
      if (cv::countNonZero(piece.rasters.weight) == 0) continue;
      mergeIntoTile(access, piece, wrapColumn(x, zoom), y, zoom);
      merged.insert({wrapColumn(x, zoom), y});
    }
  }
  // Every existing tile of the block and of the ring around it, each once, in rows: the DOM
  // of a tile reads its neighbours' bands along the shared edges.
  std::vector<std::pair<int32_t, int32_t>> rebuilt;
  std::set<std::pair<int32_t, int32_t>> seen;
  for (int32_t y = std::max(y0 - 1, 0); y <= std::min(y1 + 1, rows - 1); ++y) {
    for (long long x = x0 - 1; x <= x1 + 1; ++x) {
      const auto key = std::make_pair(wrapColumn(x, zoom), y);
      if (!seen.insert(key).second) continue;
      if (merged.count(key) || access.tiles().GetTile(key.first, y, zoom)) rebuilt.push_back(key);
    }
  }
  for (const auto& [x, y] : rebuilt) {
    if (!collapseTile(access, x, y, zoom, merged.count({x, y}) > 0)) return false;
  }
  for (const auto& [x, y] : rebuilt) renderLowerZoomsOf(access, x, y, zoom, renderZooms);
  return true;
}
