#pragma once

#include "framework/gimage.h"

#include <cstdint>
#include <iosfwd>
#include <vector>

// The binary pieces of a tile record, little-endian: a raster is its columns, rows and type
// code (three signed 32-bit integers) followed by its pixels, rows back to back; a raster
// vector is a signed 64-bit count followed by that many rasters.
//
// Writers return false when the stream has failed (or a raster cannot be written: more
// than 2^31 - 1 pixel bytes, or dimensions without pixels). Readers return false on a
// truncated or inconsistent record: negative dimensions, a type code OpenCV does not know,
// a length beyond what the stream still holds; they never allocate more than the stream
// can fill, and leave their output unchanged on failure.
namespace fw {

bool writeRaster(std::ostream& os, const GImage& raster);
bool readRaster(std::istream& is, GImage& raster);
bool writeRasterVector(std::ostream& os, const std::vector<GImage>& rasters);
bool readRasterVector(std::istream& is, std::vector<GImage>& rasters);

bool writeInt32(std::ostream& os, int32_t v);
bool readInt32(std::istream& is, int32_t& v);
bool writeDouble(std::ostream& os, double v);
bool readDouble(std::istream& is, double& v);

// Bytes of a raster in the record: 12 + its pixel bytes.
uint64_t rasterRecordSize(const GImage& raster);

}  // namespace fw
