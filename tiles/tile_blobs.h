#pragma once

#include "framework/gimage.h"
#include "tiles/tile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The DOM and DSM images of a tile as the stores keep them: the DOM as an RGBA PNG whose
// alpha marks the pixels with weight, the DSM as a float TIFF in which the cells without
// weight hold -1e9 (no data).
namespace tile_blobs {

using fw::kNoHeight;

// The tile's blue-green-red image as red-green-blue-alpha, alpha 255 where the weight
// (8-bit, one channel, the image's size) is above 0. False with a reason otherwise.
bool domRgba(const fw::GImage& image, const fw::GImage& weight, std::vector<uint8_t>& rgba,
             std::string& error);
// The RGBA pixels as a PNG of the tile codec (flags of encodePng).
bool encodeDomPng(const std::vector<uint8_t>& rgba, int width, int height, unsigned flags,
                  std::vector<uint8_t>& png, std::string& error);
// A private copy of the elevation, -1e9 where the weight resized to it is 0, as an
// uncompressed float TIFF.
bool encodeDsmTiff(const fw::GImage& elevation, const fw::GImage& weight,
                   std::vector<uint8_t>& tiff, std::string& error);

// The DOM back as an 8-bit blue-green-red image; false when the bytes do not decode.
bool decodeDomPng(const uint8_t* bytes, size_t size, fw::GImage& image);
// The DSM back as stored; false when the bytes do not decode.
bool decodeDsmTiff(const uint8_t* bytes, size_t size, fw::GImage& elevation);
// The height layer of a tile whose DSM is missing: 64 x 64 cells of -1e9.
fw::GImage noDataElevation();

}  // namespace tile_blobs
