#include "tiles/tile_record.h"

#include <cstring>
#include <istream>
#include <limits>
#include <optional>
#include <ostream>

namespace fw {

namespace {

constexpr int64_t kMaxPixelBytes = std::numeric_limits<int32_t>::max();
// OpenCV's type codes: depth 0..6 (8U to 64F) in the low three bits, up to 512 channels.
constexpr int kMaxDepth = 6;
constexpr int kMaxChannels = 512;
// Non-seekable streams are read in pieces of this size, so a corrupt length costs no more
// memory than the stream actually delivers.
constexpr size_t kReadPiece = size_t{1} << 20;

template <typename T>
bool writeLittleEndian(std::ostream& os, T v) {
  uint8_t bytes[sizeof(T)];
  uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof(T));
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
  os.write(reinterpret_cast<const char*>(bytes), sizeof(T));
  return static_cast<bool>(os);
}

template <typename T>
bool readLittleEndian(std::istream& is, T& v) {
  uint8_t bytes[sizeof(T)];
  if (!is.read(reinterpret_cast<char*>(bytes), sizeof(T))) return false;
  uint64_t bits = 0;
  for (size_t i = 0; i < sizeof(T); ++i) bits |= uint64_t{bytes[i]} << (8 * i);
  std::memcpy(&v, &bits, sizeof(T));
  return true;
}

bool knownType(int32_t type) {
  return type >= 0 && (type & 7) <= kMaxDepth && (type >> 3) < kMaxChannels;
}

// Bytes left between the read position and the end, when the stream can tell.
std::optional<uint64_t> remainingBytes(std::istream& is) {
  const std::streampos here = is.tellg();
  if (here == std::streampos(-1)) return std::nullopt;
  is.seekg(0, std::ios::end);
  const std::streampos end = is.tellg();
  is.seekg(here);
  if (!is || end == std::streampos(-1) || end < here) {
    is.clear();
    is.seekg(here);
    return std::nullopt;
  }
  return static_cast<uint64_t>(end - here);
}

bool readPixels(std::istream& is, int32_t rows, int32_t cols, int32_t type, int64_t bytes,
                GImage& raster) {
  const std::optional<uint64_t> left = remainingBytes(is);
  if (left) {
    if (static_cast<uint64_t>(bytes) > *left) return false;
    GImage fresh(rows, cols, type);
    if (!fresh.data) return false;
    if (!is.read(reinterpret_cast<char*>(fresh.data), bytes)) return false;
    raster = fresh;
    return true;
  }
  std::vector<char> buffer;
  while (buffer.size() < static_cast<size_t>(bytes)) {
    const size_t piece = std::min(kReadPiece, static_cast<size_t>(bytes) - buffer.size());
    const size_t at = buffer.size();
    buffer.resize(at + piece);
    if (!is.read(buffer.data() + at, static_cast<std::streamsize>(piece))) return false;
  }
  GImage fresh(rows, cols, type, reinterpret_cast<unsigned char*>(buffer.data()), true);
  if (!fresh.data) return false;
  raster = fresh;
  return true;
}

}  // namespace

bool writeInt32(std::ostream& os, int32_t v) { return writeLittleEndian(os, v); }
bool readInt32(std::istream& is, int32_t& v) { return readLittleEndian(is, v); }
bool writeDouble(std::ostream& os, double v) { return writeLittleEndian(os, v); }
bool readDouble(std::istream& is, double& v) { return readLittleEndian(is, v); }

uint64_t rasterRecordSize(const GImage& raster) {
  const int64_t bytes = raster.byteSize();
  return 12 + static_cast<uint64_t>(bytes > 0 ? bytes : 0);
}

bool writeRaster(std::ostream& os, const GImage& raster) {
  const int64_t bytes = raster.byteSize();
  if (bytes < 0 || bytes > kMaxPixelBytes || (bytes > 0 && !raster.data)) return false;
  if (!writeInt32(os, raster.cols) || !writeInt32(os, raster.rows) || !writeInt32(os, raster.type))
    return false;
  if (bytes > 0)
    os.write(reinterpret_cast<const char*>(raster.data), static_cast<std::streamsize>(bytes));
  return static_cast<bool>(os);
}

bool readRaster(std::istream& is, GImage& raster) {
  int32_t cols, rows, type;
  if (!readInt32(is, cols) || !readInt32(is, rows) || !readInt32(is, type)) return false;
  if (cols < 0 || rows < 0 || !knownType(type)) return false;
  const int64_t pixels = int64_t{cols} * rows;  // below 2^62, no overflow
  if (pixels > kMaxPixelBytes) return false;
  const int64_t bytes = pixels * GImage::elemSize(type);
  if (bytes > kMaxPixelBytes) return false;
  if (bytes == 0) {
    raster = GImage(rows, cols, type);
    return true;
  }
  return readPixels(is, rows, cols, type, bytes, raster);
}

bool writeRasterVector(std::ostream& os, const std::vector<GImage>& rasters) {
  if (!writeLittleEndian<int64_t>(os, static_cast<int64_t>(rasters.size()))) return false;
  for (const GImage& r : rasters) {
    if (!writeRaster(os, r)) return false;
  }
  return true;
}

bool readRasterVector(std::istream& is, std::vector<GImage>& rasters) {
  int64_t count;
  if (!readLittleEndian(is, count)) return false;
  // Rasters are read one by one rather than the vector sized up front: a corrupt count then
  // fails at the first missing raster instead of allocating for all of them.
  std::vector<GImage> read;
  for (int64_t i = 0; i < count; ++i) {
    GImage r;
    if (!readRaster(is, r)) return false;
    read.push_back(r);
  }
  rasters.swap(read);
  return true;
}

}  // namespace fw
