#pragma once

#include <cstddef>
#include <cstdint>

// Fixed parts of the files the PNG codec writes.
namespace png_layout {

constexpr uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// The private chunk's data: four fixed bytes, then the format version 0.
constexpr uint8_t kPrivateChunkData[5] = {0x52, 0x24, 0x93, 0xE3, 0x00};
constexpr uint8_t kPrivateChunkCrc[4] = {0xE5, 0xAB, 0x62, 0x99};
constexpr uint8_t kIendChunk[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};

// Signature, IHDR, the private chunk and the IDAT length and type: the zlib stream starts here.
constexpr size_t kHeaderSize = 58;
constexpr size_t kChunksStart = 33;  // first chunk after IHDR
constexpr uint32_t kMaxDimension = 1u << 24;
constexpr uint32_t kMaxChunkLength = 0x7FFFFFFF;

// The zlib header both forms start with (deflate, 32K window, fastest level).
constexpr uint8_t kZlibHeader[2] = {0x78, 0x01};

inline uint32_t readBigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void writeBigEndian32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace png_layout
