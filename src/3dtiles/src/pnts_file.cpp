#include "pnts_file.h"

#include <cstdint>
#include <cstring>
#include <limits>

namespace {

constexpr size_t kHeaderBytes = 28;
constexpr size_t kPositionBytes = 12;
constexpr size_t kColourBytes = 3;

// 1 to 8 bytes: a size already on a multiple of 8 still gets a full 8.
size_t paddedTo8(size_t size) { return size - size % 8 + 8; }

void putUint32(std::string& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

struct Layout {
  std::string json;
  size_t jsonBytes = 0;
  size_t binaryBytes = 0;
  size_t total = 0;
};

bool layoutFor(size_t n, Layout& layout) {
  // Counts this large could not be described by the 32-bit header anyway; the check
  // keeps the byte arithmetic below from wrapping.
  constexpr size_t kLimit = std::numeric_limits<uint32_t>::max();
  if (n > kLimit / (kPositionBytes + kColourBytes)) return false;
  layout.json = "{\"POINTS_LENGTH\":" + std::to_string(n) +
                ",\"POSITION\":{\"byteOffset\":0},\"RGB\":{\"byteOffset\":" +
                std::to_string(kPositionBytes * n) + "}}";
  // The header is 28 bytes, so the JSON is padded until 28 + J is a multiple of 8.
  layout.jsonBytes = paddedTo8(layout.json.size() + 4) - 4;
  layout.binaryBytes = paddedTo8((kPositionBytes + kColourBytes) * n);
  layout.total = kHeaderBytes + layout.jsonBytes + layout.binaryBytes;
  return layout.total <= kLimit;
}

}  // namespace

bool pntsFileSize(size_t pointCount, size_t& bytes) {
  Layout layout;
  if (!layoutFor(pointCount, layout)) return false;
  bytes = layout.total;
  return true;
}

bool encodePnts(const std::vector<pi::Point3_<float>>& positions,
                const std::vector<pi::Point3_<unsigned char>>& colours, std::string& bytes) {
  return encodePntsEvery(positions, colours, 0, 1, bytes);
}

bool encodePntsEvery(const std::vector<pi::Point3_<float>>& positions,
                     const std::vector<pi::Point3_<unsigned char>>& colours, size_t first,
                     size_t step, std::string& bytes) {
  bytes.clear();
  if (positions.size() != colours.size() || step == 0) return false;
  const size_t n = first < positions.size() ? (positions.size() - first + step - 1) / step : 0;
  Layout layout;
  if (!layoutFor(n, layout)) return false;

  bytes.assign(layout.total, ' ');
  std::memcpy(&bytes[0], "pnts", 4);
  putUint32(bytes, 4, 1);
  putUint32(bytes, 8, static_cast<uint32_t>(layout.total));
  putUint32(bytes, 12, static_cast<uint32_t>(layout.jsonBytes));
  putUint32(bytes, 16, static_cast<uint32_t>(layout.binaryBytes));
  putUint32(bytes, 20, 0);
  putUint32(bytes, 24, 0);
  std::memcpy(&bytes[kHeaderBytes], layout.json.data(), layout.json.size());

  // Little-endian floats, as the format and every supported platform store them.
  char* out = &bytes[kHeaderBytes + layout.jsonBytes];
  char* rgb = out + kPositionBytes * n;
  for (size_t k = 0, i = first; k < n; ++k, i += step) {
    const float xyz[3] = {positions[i].x, positions[i].y, positions[i].z};
    std::memcpy(out, xyz, kPositionBytes);
    out += kPositionBytes;
    rgb[0] = static_cast<char>(colours[i].x);
    rgb[1] = static_cast<char>(colours[i].y);
    rgb[2] = static_cast<char>(colours[i].z);
    rgb += kColourBytes;
  }
  return true;
}

bool writePnts(std::ostream& out, const std::vector<pi::Point3_<float>>& positions,
               const std::vector<pi::Point3_<unsigned char>>& colours) {
  std::string bytes;
  if (!encodePnts(positions, colours, bytes)) return false;
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}
