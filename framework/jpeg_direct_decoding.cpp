#include "framework/jpeg_direct_decoding.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace fw {

namespace {

// libjpeg reports a fatal error by calling error_exit, which must not return: it jumps back
// to the decoding step that was running. Warnings (corrupt data libjpeg works around) are
// counted, never printed: standard error carries the program's status lines.
struct Failure {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

void jumpBack(j_common_ptr info) { std::longjmp(reinterpret_cast<Failure*>(info->err)->jump, 1); }
void stayQuiet(j_common_ptr) {}

// Each step holds no object with a destructor between its setjmp and a possible longjmp.
bool readHeader(jpeg_decompress_struct& info, Failure& failure,
                const std::vector<unsigned char>& bytes, int factor) {
  if (setjmp(failure.jump)) return false;
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) return false;
  if (info.num_components != 3 ||
      (info.jpeg_color_space != JCS_YCbCr && info.jpeg_color_space != JCS_RGB))
    return false;
  info.scale_num = 1;
  info.scale_denom = static_cast<unsigned int>(factor);
  info.out_color_space = JCS_EXT_BGR;
  jpeg_calc_output_dimensions(&info);
  return true;
}

bool readPixels(jpeg_decompress_struct& info, Failure& failure, unsigned char* data, size_t step) {
  if (setjmp(failure.jump)) return false;
  if (!jpeg_start_decompress(&info)) return false;
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = data + step * info.output_scanline;
    if (jpeg_read_scanlines(&info, &row, 1) != 1) return false;
  }
  jpeg_finish_decompress(&info);
  return failure.manager.num_warnings == 0;
}

bool create(jpeg_decompress_struct& info, Failure& failure) {
  if (setjmp(failure.jump)) return false;
  jpeg_create_decompress(&info);
  return true;
}

// The decompressor, destroyed whichever way decoding ends.
struct Decompressor {
  jpeg_decompress_struct info{};
  Failure failure{};
  bool created = false;
  Decompressor() {
    info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = jumpBack;
    failure.manager.output_message = stayQuiet;
    created = create(info, failure);
  }
  ~Decompressor() {
    if (created) jpeg_destroy_decompress(&info);
  }
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;
};

}  // namespace

bool decodeColourJpegDirectly(const std::vector<unsigned char>& bytes, int factor, cv::Mat& out,
                              unsigned long long max_pixels) {
  if (bytes.empty() || (factor != 1 && factor != 2 && factor != 4 && factor != 8)) return false;
  Decompressor d;
  if (!d.created || !readHeader(d.info, d.failure, bytes, factor)) return false;
  const unsigned long long pixels =
      static_cast<unsigned long long>(d.info.image_width) * d.info.image_height;
  if (pixels == 0 || pixels > std::min(max_pixels, kMaxJpegPixels)) return false;
  cv::Mat image(static_cast<int>(d.info.output_height), static_cast<int>(d.info.output_width),
                CV_8UC3);
  if (!readPixels(d.info, d.failure, image.data, image.step)) return false;
  out = image;
  return true;
}

}  // namespace fw
