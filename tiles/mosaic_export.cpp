#include "framework/config_store.h"
#include "framework/log.h"
#include "tiles/atomic_file.h"
#include "tiles/tile_manager_cached_gdal.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <limits>

namespace {

constexpr int64_t kTileBytes = 262144;  // 256 x 256 pixels of 4 bytes
constexpr int64_t kGigabyte = 1073741824;

// The progress variable is shared with other threads, which cancel the export by writing
// a negative value into it.
double loadShared(const double* v) {
  double value;
  __atomic_load(v, &value, __ATOMIC_RELAXED);
  return value;
}

void storeShared(double* v, double value) { __atomic_store(v, &value, __ATOMIC_RELAXED); }

}  // namespace

bool TileManagerCachedGDAL::Export(const std::string& path) {
  if (GetLevel() == 0) return false;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos) return false;
  const std::string extension = path.substr(dot + 1);
  if (extension == "tif") return true;
  if (extension == "png") return ExportMosaic(path);
  FW_LOG(fw::kLogError) << "Do not support extension " << extension;
  return false;
}

bool TileManagerCachedGDAL::ExportMosaic(const std::string& path) {
  // The range as it stands now, which grows with every tile put at the finest zoom.
  const fw::TileRange range = GetRange();
  if (range.empty()) return false;
  const int64_t columns = int64_t{range.maxX} - range.minX + 1;
  const int64_t rows = int64_t{range.maxY} - range.minY + 1;
  // Each side is at most 2^32 tiles, so the product may overflow: compare by division.
  const int64_t bound = *fw::Var::instance().GetInt("MapFusion.MaxExportMemSize", 1);
  const int64_t maxTiles = bound * (kGigabyte / kTileBytes);
  if (maxTiles < 1 || columns > maxTiles / rows) return false;
  const int64_t n = columns * rows;

  double* progress = exportProgress_;
  storeShared(progress, 0.0);
  const int32_t z = static_cast<int32_t>(GetLevel());
  cv::Mat mosaic;
  int64_t i = 0;
  bool cancelled = false;
  for (int32_t y = range.minY; y <= range.maxY && !cancelled; ++y) {
    for (int32_t x = range.minX; x <= range.maxX; ++x, ++i) {
      cancelled = loadShared(progress) < 0.0;
      if (cancelled) break;  // what is assembled so far is still written
      storeShared(progress, static_cast<double>(i) / static_cast<double>(n));
      auto tile = std::dynamic_pointer_cast<fw::ImageTile>(GetTile(x, y, z));
      if (!tile) continue;
      const cv::Mat image = tile->GetImage();
      if (image.empty()) continue;
      if (mosaic.empty()) {
        if (rows * image.rows > std::numeric_limits<int>::max() ||
            columns * image.cols > std::numeric_limits<int>::max()) {
          FW_LOG(fw::kLogError) << "TileManagerCachedGDAL - ExportMosaic: the mosaic of " << columns
                                << " x " << rows << " tiles is too large for one image";
          return false;
        }
        // Blocks whose tile is missing stay black (and transparent where there is alpha).
        mosaic = cv::Mat::zeros(static_cast<int>(rows * image.rows),
                                static_cast<int>(columns * image.cols), image.type());
      }
      if (image.type() != mosaic.type() || image.cols * columns != mosaic.cols ||
          image.rows * rows != mosaic.rows) {
        FW_LOG(fw::kLogError) << "TileManagerCachedGDAL - ExportMosaic: tile x,y,z " << x << ","
                              << y << "," << z
                              << " differs in size or type from the first tile; left out";
        continue;
      }
      image.copyTo(mosaic(cv::Rect(static_cast<int>((x - range.minX) * image.cols),
                                   static_cast<int>((y - range.minY) * image.rows), image.cols,
                                   image.rows)));
    }
  }
  if (mosaic.empty()) return false;
  // Encoded here and written like every product file: never through a link.
  std::vector<uint8_t> bytes;
  std::string error;
  const size_t dot = path.rfind('.');
  try {
    if (dot == std::string::npos || !cv::imencode(path.substr(dot), mosaic, bytes)) {
      error = "no image format for this file name";
    }
  } catch (const cv::Exception& e) {
    error = e.what();
  }
  if (error.empty() && tile_files::writeFileAtomically(path, bytes.data(), bytes.size(), error))
    return true;
  FW_LOG(fw::kLogError) << "TileManagerCachedGDAL - ExportMosaic: Can't write " << path << ": "
                        << error;
  return false;
}
