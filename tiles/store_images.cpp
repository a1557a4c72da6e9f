#include "tiles/store_images.h"

#include "framework/log.h"
#include "tiles/tile_blobs.h"

namespace store_images {

namespace {

const char* const kSetTile = "TileManagerFileSystemMultiFile - SetTile: ";

}  // namespace

std::shared_ptr<TerrainFusionMultiTile> multiTileOf(const std::shared_ptr<fw::TileBase>& tile) {
  auto multi = std::dynamic_pointer_cast<TerrainFusionMultiTile>(tile);
  if (!multi)
    FW_LOG(fw::kLogError) << "Can't cast tile to TerrainFusionMultiTile: " << tile->type();
  return multi;
}

bool putDom(const TerrainFusionMultiTile& tile, unsigned pngFlags, const std::string& where,
            StoreTimings& timings, const Put& put) {
  const auto t0 = StoreTimings::Clock::now();
  const fw::GImage image = tile.GetImage();
  std::vector<uint8_t> rgba, png;
  std::string error;
  bool encoded = tile_blobs::domRgba(image, tile.GetWeight(), rgba, error);
  const auto t1 = StoreTimings::Clock::now();
  encoded = encoded && tile_blobs::encodeDomPng(rgba, image.cols, image.rows, pngFlags, png, error);
  if (!encoded) {
    FW_LOG(fw::kLogError) << kSetTile << "Can't encode dom png file " << where << ": " << error;
    return false;
  }
  const auto t2 = StoreTimings::Clock::now();
  if (!put(png)) return false;
  const auto t3 = StoreTimings::Clock::now();
  timings.addDomWrite(StoreTimings::phases({t0, t1, t2, t3}));
  return true;
}

bool putDsm(const TerrainFusionMultiTile& tile, const std::string& where, StoreTimings& timings,
            const Put& put) {
  const auto t0 = StoreTimings::Clock::now();
  std::vector<uint8_t> tiff;
  std::string error;
  if (!tile_blobs::encodeDsmTiff(tile.GetElevation(), tile.GetWeight(), tiff, error)) {
    FW_LOG(fw::kLogError) << kSetTile << "Can't encode dsm tiff file " << where << ": " << error;
    return false;
  }
  const auto t1 = StoreTimings::Clock::now();
  if (!put(tiff)) return false;
  const auto t2 = StoreTimings::Clock::now();
  timings.addDsmWrite(StoreTimings::phases({t0, t1, t2}));
  return true;
}

}  // namespace store_images
