#include "tiles/tile.h"

#include "tiles/tile_record.h"

#include <istream>
#include <ostream>

namespace {

// Pixel bytes and pixel count of a raster (0 for an empty or oversized one).
uint64_t bytesOf(const fw::GImage& r) {
  const int64_t b = r.byteSize();
  return b > 0 ? static_cast<uint64_t>(b) : 0;
}

uint64_t pixelsOf(const fw::GImage& r) {
  return r.cols > 0 && r.rows > 0 ? uint64_t(r.cols) * uint64_t(r.rows) : 0;
}

bool writePosition(std::ostream& os, const pi::Point3_<int32_t>& p, double time) {
  return fw::writeInt32(os, p.x) && fw::writeInt32(os, p.y) && fw::writeInt32(os, p.z) &&
         fw::writeDouble(os, time);
}

bool readPosition(std::istream& is, int32_t& x, int32_t& y, int32_t& z, double& time) {
  return fw::readInt32(is, x) && fw::readInt32(is, y) && fw::readInt32(is, z) &&
         fw::readDouble(is, time);
}

}  // namespace

namespace fw {

ImageTile::ImageTile(const GImage& image) : image_(image) {}

uint32_t ImageTile::MemorySize() const { return static_cast<uint32_t>(bytesOf(image_) + 12); }

bool ImageTile::Write(std::ostream& os) const { return writeRaster(os, image_); }

bool ImageTile::Read(std::istream& is) {
  GImage image;
  if (!readRaster(is, image)) return false;
  image_ = image;
  return true;
}

TerrainTile::TerrainTile(const GImage& image, const GImage& elevation)
    : ImageTile(image), elevation_(elevation) {}

uint32_t TerrainTile::MemorySize() const {
  return static_cast<uint32_t>(bytesOf(image_) + 24 + bytesOf(elevation_));
}

bool TerrainTile::Write(std::ostream& os) const {
  return writeRaster(os, image_) && writeRaster(os, elevation_);
}

bool TerrainTile::Read(std::istream& is) {
  GImage image, elevation;
  if (!readRaster(is, image) || !readRaster(is, elevation)) return false;
  image_ = image;
  elevation_ = elevation;
  return true;
}

TerrainTileWithInfo::TerrainTileWithInfo(const GImage& image, const GImage& elevation, int32_t x,
                                         int32_t y, int32_t z, double time)
    : TerrainTile(image, elevation), x_(x), y_(y), z_(z), time_(time) {}

uint32_t TerrainTileWithInfo::MemorySize() const {
  return static_cast<uint32_t>(bytesOf(elevation_) + 44 + bytesOf(image_));
}

bool TerrainTileWithInfo::Write(std::ostream& os) const {
  return writeRaster(os, image_) && writeRaster(os, elevation_) &&
         writePosition(os, GetPosition(), time_);
}

bool TerrainTileWithInfo::Read(std::istream& is) {
  GImage image, elevation;
  int32_t x, y, z;
  double time;
  if (!readRaster(is, image) || !readRaster(is, elevation) || !readPosition(is, x, y, z, time))
    return false;
  image_ = image;
  elevation_ = elevation;
  x_ = x;
  y_ = y;
  z_ = z;
  time_ = time;
  return true;
}

}  // namespace fw

TerrainFusionTile::TerrainFusionTile(const fw::GImage& image, const fw::GImage& elevation,
                                     int32_t x, int32_t y, int32_t z, const double& time,
                                     const fw::GImage& weight, const fw::GImage& auxRaster,
                                     uint32_t tag)
    : TerrainTileWithInfo(image, elevation, x, y, z, time),
      tag_(tag),
      weight_(weight),
      auxRaster_(auxRaster) {}

uint32_t TerrainFusionTile::MemorySize() const {
  return static_cast<uint32_t>(4 * (pixelsOf(elevation_) + pixelsOf(image_)));
}

bool TerrainFusionTile::Write(std::ostream& os) const {
  return writePosition(os, GetPosition(), time_) && fw::writeRaster(os, weight_);
}

bool TerrainFusionTile::Read(std::istream& is) {
  int32_t x, y, z;
  double time;
  fw::GImage weight;
  if (!readPosition(is, x, y, z, time) || !fw::readRaster(is, weight)) return false;
  x_ = x;
  y_ = y;
  z_ = z;
  time_ = time;
  weight_ = weight;
  return true;
}

TerrainFusionMultiTile::TerrainFusionMultiTile(const fw::GImage& image, const fw::GImage& elevation,
                                               int32_t x, int32_t y, int32_t z, const double& time,
                                               const fw::GImage& weight,
                                               const fw::GImage& auxRaster, uint32_t tag)
    : TerrainFusionTile(image, elevation, x, y, z, time, weight, auxRaster, tag) {}

uint64_t TerrainFusionMultiTile::RecordSize(uint64_t& total) const {
  for (const auto* stack : {&bandStack1, &bandStack2, &bandStack3}) {
    total += 8;
    for (const fw::GImage& r : *stack) total += fw::rasterRecordSize(r);
  }
  total += 12 + 8 + fw::rasterRecordSize(weight_);
  return total;
}

uint32_t TerrainFusionMultiTile::MemorySize() const {
  uint64_t total = 0;
  RecordSize(total);
  return static_cast<uint32_t>(total + 4 * pixelsOf(image_) + 4 * pixelsOf(elevation_));
}

bool TerrainFusionMultiTile::Write(std::ostream& os) const {
  return fw::writeRasterVector(os, bandStack1) && fw::writeRasterVector(os, bandStack2) &&
         fw::writeRasterVector(os, bandStack3) && TerrainFusionTile::Write(os);
}

bool TerrainFusionMultiTile::Read(std::istream& is) {
  std::vector<fw::GImage> stack1, stack2, stack3;
  if (!fw::readRasterVector(is, stack1) || !fw::readRasterVector(is, stack2) ||
      !fw::readRasterVector(is, stack3)) {
    return false;
  }
  // The rest of the record is TerrainFusionTile's; it changes the tile only when it succeeds.
  if (!TerrainFusionTile::Read(is)) return false;
  bandStack1.swap(stack1);
  bandStack2.swap(stack2);
  bandStack3.swap(stack3);
  return true;
}
