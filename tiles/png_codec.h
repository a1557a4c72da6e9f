#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The tile stores' own PNG codec for 8-bit RGB and RGBA images. The encoder writes standard
// PNG files of one narrow shape (one IDAT chunk, filter None then Up, runs of the previous
// pixel as the only matches) marked by the private chunk "fdEC"; the decoder reads exactly
// that shape and reports any other PNG with a status of its own.

// encodePng flags.
constexpr unsigned kPngTwoPass = 1;  // Huffman codes built for this image (smaller, slower)
constexpr unsigned kPngStored = 2;   // no compression

// Encodes height rows of width x channels bytes (channels 3 or 4, rows packed) into out.
// Returns false for a width or height of 0 or above 2^24, more than 2^32 - 1 pixels, other
// channel counts, or an image whose data does not fit one PNG chunk.
bool encodePng(const uint8_t* pixels, uint32_t width, uint32_t height, int channels,
               std::vector<uint8_t>& out, unsigned flags);

// decodePng results.
enum PngStatus : int {
  kPngDecoded = 0,
  kPngForeign = 1,  // a valid-looking PNG this codec did not write, or a stream it cannot take
  kPngBadArguments = 2,
  kPngNotPng = 3,  // not a PNG, or no proper IHDR
  kPngBadCrc = 4,  // IHDR or chunk CRC wrong
  kPngBadDimensions = 5,
  kPngTooLarge = 6,  // decoded image above 2^32 - 1 bytes
  kPngBrokenChunks = 7,
  kPngShortIdat = 8,  // IDAT shorter than 7 bytes
};

// Decodes a PNG this codec wrote. On success out holds height x width x wantedChannels
// bytes, rows packed (3 to 4 channels adds alpha 255, 4 to 3 drops alpha), and
// channelsInFile tells what the file held. A stream whose Adler-32 does not match its
// data gives kPngForeign.
PngStatus decodePng(const uint8_t* bytes, size_t size, std::vector<uint8_t>& out, uint32_t& width,
                    uint32_t& height, int& channelsInFile, int wantedChannels);

// Writes one scanline with its filter byte in front: filter 2 (Up) subtracts the row above
// modulo 256 (a null above counts as zeros); any other type writes filter 0 (None), a copy.
void pngFilterRow(int filterType, const uint8_t* row, const uint8_t* above, size_t rowBytes,
                  uint8_t* out);
