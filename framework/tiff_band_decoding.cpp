#include "framework/tiff_band_decoding.h"

#include "framework/frame_image_decoding.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <memory>

namespace fw {

namespace {

// Rows of whole blocks read before they are reduced, as for PNG frames.
constexpr int kBlocksPerBand = 8;

// libtiff reads the bytes in memory through these, as if they were a file.
struct Source {
  const unsigned char* data;
  toff_t size;
  toff_t at;
};

tsize_t readBytes(thandle_t handle, tdata_t out, tsize_t count) {
  auto* source = static_cast<Source*>(handle);
  const toff_t left = source->at < source->size ? source->size - source->at : 0;
  const toff_t n = std::min<toff_t>(left, static_cast<toff_t>(count));
  std::memcpy(out, source->data + source->at, n);
  source->at += n;
  return static_cast<tsize_t>(n);
}

tsize_t writeNothing(thandle_t, tdata_t, tsize_t) { return 0; }

toff_t seekTo(thandle_t handle, toff_t offset, int whence) {
  auto* source = static_cast<Source*>(handle);
  const toff_t base = whence == SEEK_CUR ? source->at : whence == SEEK_END ? source->size : 0;
  source->at = base + offset;
  return source->at;
}

int closeNothing(thandle_t) { return 0; }
toff_t sizeOf(thandle_t handle) { return static_cast<Source*>(handle)->size; }
int mapNothing(thandle_t, tdata_t*, toff_t*) { return 0; }
void unmapNothing(thandle_t, tdata_t, toff_t) {}

struct TiffCloser {
  void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

// The layout of the first image, when this path takes it.
struct Layout {
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bits = 0;
  uint16_t samples = 0;
};

// Messages go nowhere: a file this path refuses is decoded by OpenCV instead, which reports
// its own failures. Handled per file, so no process-wide handler is touched.
int ignoreMessage(TIFF*, void*, const char*, const char*, va_list) { return 1; }

TiffHandle open(Source& source) {
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) return TiffHandle();
  TIFFOpenOptionsSetErrorHandlerExtR(options, ignoreMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options, ignoreMessage, nullptr);
  TiffHandle tiff(TIFFClientOpenExt("frame", "rm", &source, readBytes, writeNothing, seekTo,
                                    closeNothing, sizeOf, mapNothing, unmapNothing, options));
  TIFFOpenOptionsFree(options);
  return tiff;
}

bool layoutOf(TIFF* tiff, Layout& layout) {
  uint16_t planar = PLANARCONFIG_CONTIG;
  uint16_t photometric = 0;
  uint16_t format = SAMPLEFORMAT_UINT;
  if (TIFFIsTiled(tiff) || !TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &layout.width) ||
      !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &layout.height) ||
      !TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric))
    return false;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &layout.bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &layout.samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
  const bool grey = photometric == PHOTOMETRIC_MINISBLACK && layout.samples == 1;
  const bool colour =
      photometric == PHOTOMETRIC_RGB && (layout.samples == 3 || layout.samples == 4);
  return (grey || colour) && planar == PLANARCONFIG_CONTIG && format == SAMPLEFORMAT_UINT &&
         (layout.bits == 8 || layout.bits == 16) && layout.width >= 1 && layout.height >= 1 &&
         layout.width <= (1u << 30) && layout.height <= (1u << 30) &&
         TIFFScanlineSize64(tiff) == uint64_t{layout.width} * layout.samples * (layout.bits / 8);
}

// One row of samples as 8-bit BGR as OpenCV's decoder gives it: grey to three equal channels,
// alpha dropped; 16-bit grey keeps its high byte, 16-bit colour is scaled by 255 / 65535 and
// rounded. (libtiff delivers 16-bit samples in the machine's byte order.)
uchar greyByte(uchar value) { return value; }
uchar greyByte(uint16_t value) { return static_cast<uchar>(value >> 8); }
uchar colourByte(uchar value) { return value; }
uchar colourByte(uint16_t value) { return static_cast<uchar>((value * 2 + 257) / 514); }

template <typename Sample>
void toBgr(const Sample* in, const Layout& layout, cv::Vec3b* out) {
  for (uint32_t x = 0; x < layout.width; ++x) {
    const Sample* pixel = in + size_t{x} * layout.samples;
    if (layout.samples == 1) {
      const uchar grey = greyByte(pixel[0]);
      out[x] = cv::Vec3b(grey, grey, grey);
    } else {
      out[x] = cv::Vec3b(colourByte(pixel[2]), colourByte(pixel[1]), colourByte(pixel[0]));
    }
  }
}

}  // namespace

bool isBandDecodableTiff(const std::vector<unsigned char>& bytes) {
  const bool little = bytes.size() >= 8 && bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 42;
  const bool big = bytes.size() >= 8 && bytes[0] == 'M' && bytes[1] == 'M' && bytes[3] == 42;
  if (!little && !big) return false;
  Source source{bytes.data(), bytes.size(), 0};
  TiffHandle tiff = open(source);
  Layout layout;
  return tiff && layoutOf(tiff.get(), layout);
}

cv::Mat decodeTiffReducedInBands(const std::vector<unsigned char>& bytes, int factor) {
  if (factor < 2 || !isBandDecodableTiff(bytes)) return cv::Mat();
  Source source{bytes.data(), bytes.size(), 0};
  TiffHandle tiff = open(source);
  Layout layout;
  if (!tiff || !layoutOf(tiff.get(), layout)) return cv::Mat();
  const int width = static_cast<int>(layout.width);
  const int height = static_cast<int>(layout.height);
  // Whole 16-bit words, so the line can be read as such.
  std::vector<uint16_t> buffer((static_cast<size_t>(TIFFScanlineSize64(tiff.get())) + 1) / 2);
  unsigned char* const line = reinterpret_cast<unsigned char*>(buffer.data());
  const int bandRows = factor * kBlocksPerBand;
  cv::Mat band(bandRows, width, CV_8UC3);
  cv::Mat out((height + factor - 1) / factor, (width + factor - 1) / factor, CV_8UC3);
  for (int top = 0; top < height; top += bandRows) {
    const int rows = std::min(bandRows, height - top);
    for (int r = 0; r < rows; ++r) {
      if (TIFFReadScanline(tiff.get(), line, static_cast<uint32_t>(top + r), 0) < 0)
        return cv::Mat();
      if (layout.bits == 16) {
        toBgr(buffer.data(), layout, band.ptr<cv::Vec3b>(r));
      } else {
        toBgr(line, layout, band.ptr<cv::Vec3b>(r));
      }
    }
    // Bands start on whole blocks, so each block is reduced as in the whole image.
    const cv::Mat reduced = reduceFrameImage(band.rowRange(0, rows), factor);
    reduced.copyTo(out.rowRange(top / factor, top / factor + reduced.rows));
  }
  return out;
}

}  // namespace fw
