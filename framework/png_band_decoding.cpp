#include "framework/png_band_decoding.h"

#include "framework/frame_image_decoding.h"

#include <png.h>

#include <algorithm>
#include <cstring>

namespace fw {

namespace {

constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
// Rows of whole blocks read before they are reduced: a few blocks high, so that reducing them
// costs no more calls than a whole image would need, while the band stays small.
constexpr int kBlocksPerBand = 8;

struct Source {
  const unsigned char* data;
  size_t size;
  size_t at;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t count) {
  auto* source = static_cast<Source*>(png_get_io_ptr(png));
  if (source->size - source->at < count) png_error(png, "the PNG data end early");
  std::memcpy(out, source->data + source->at, count);
  source->at += count;
}

void ignoreWarning(png_structp, png_const_charp) {}

// Owns libpng's reading state.
struct PngReading {
  png_structp png = nullptr;
  png_infop info = nullptr;
  PngReading() {
    png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, ignoreWarning);
    if (png) info = png_create_info_struct(png);
  }
  ~PngReading() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
  PngReading(const PngReading&) = delete;
  PngReading& operator=(const PngReading&) = delete;
};

// Reads the rows into `band` and `out`, both allocated by the caller once the size is known
// through `allocate`. libpng reports errors by a long jump back into this function, so it
// creates no C++ object itself: the caller's objects are left whole either way.
bool readReduced(PngReading& reading, Source& source, int factor, cv::Mat& band, cv::Mat& out) {
  png_structp png = reading.png;
  png_infop info = reading.info;
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_read_fn(png, &source, readFromMemory);
  png_read_info(png, info);
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bitDepth = 0;
  int colourType = 0;
  int interlace = 0;
  png_get_IHDR(png, info, &width, &height, &bitDepth, &colourType, &interlace, nullptr, nullptr);
  if (interlace != PNG_INTERLACE_NONE || width < 1 || height < 1 || width > (1u << 30) ||
      height > (1u << 30))
    return false;
  // The transforms OpenCV's decoder applies for a colour image, so the pixels are its own.
  if (bitDepth == 16) png_set_strip_16(png);
  png_set_strip_alpha(png);
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if ((colourType & PNG_COLOR_MASK_COLOR) == 0 && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (colourType & PNG_COLOR_MASK_COLOR) {
    png_set_bgr(png);
  } else {
    png_set_gray_to_rgb(png);
  }
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != size_t{width} * 3) return false;

  const int bandRows = factor * kBlocksPerBand;
  band.create(bandRows, static_cast<int>(width), CV_8UC3);
  out.create((static_cast<int>(height) + factor - 1) / factor,
             (static_cast<int>(width) + factor - 1) / factor, CV_8UC3);
  for (int top = 0; top < static_cast<int>(height); top += bandRows) {
    const int rows = std::min(bandRows, static_cast<int>(height) - top);
    for (int r = 0; r < rows; ++r) png_read_row(png, band.ptr<png_byte>(r), nullptr);
    // Bands start on whole blocks, so each block is reduced as in the whole image.
    const cv::Mat reduced = reduceFrameImage(band.rowRange(0, rows), factor);
    reduced.copyTo(out.rowRange(top / factor, top / factor + reduced.rows));
  }
  png_read_end(png, nullptr);
  return true;
}

}  // namespace

bool isBandDecodablePng(const std::vector<unsigned char>& bytes) {
  // The signature, then IHDR: length, type, width, height, depth, colour, compression,
  // filter and the interlace method at byte 28.
  return bytes.size() > 33 && std::memcmp(bytes.data(), kSignature, 8) == 0 &&
         std::memcmp(bytes.data() + 12, "IHDR", 4) == 0 && bytes[28] == 0;
}

cv::Mat decodePngReducedInBands(const std::vector<unsigned char>& bytes, int factor) {
  if (!isBandDecodablePng(bytes) || factor < 2) return cv::Mat();
  PngReading reading;
  if (!reading.png || !reading.info) return cv::Mat();
  Source source{bytes.data(), bytes.size(), 0};
  cv::Mat band;
  cv::Mat out;
  if (!readReduced(reading, source, factor, band, out)) return cv::Mat();
  return out;
}

}  // namespace fw
