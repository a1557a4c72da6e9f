#include "framework/frame_image_decoding.h"

#include "framework/jpeg_direct_decoding.h"
#include "framework/png_band_decoding.h"
#include "framework/tiff_band_decoding.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace fw {

namespace {

// 16-bit samples keep their high 8 bits, as the frames' decoding does.
cv::Mat highBytes(const cv::Mat& image) {
  cv::Mat eight(image.size(), CV_MAKETYPE(CV_8U, image.channels()));
  const int values = image.cols * image.channels();
  for (int r = 0; r < image.rows; ++r) {
    const uint16_t* in = image.ptr<uint16_t>(r);
    uchar* out = eight.ptr<uchar>(r);
    for (int i = 0; i < values; ++i) out[i] = static_cast<uchar>(in[i] >> 8);
  }
  return eight;
}

bool isJpeg(const std::vector<unsigned char>& bytes) {
  return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

int reducedFlag(int factor) {
  switch (factor) {
    case 2:
      return cv::IMREAD_REDUCED_COLOR_2;
    case 4:
      return cv::IMREAD_REDUCED_COLOR_4;
    default:
      return cv::IMREAD_REDUCED_COLOR_8;
  }
}

}  // namespace

cv::Mat reduceFrameImage(const cv::Mat& image, int factor) {
  if (factor <= 1 || image.empty()) return image;
  const cv::Size reduced((image.cols + factor - 1) / factor, (image.rows + factor - 1) / factor);
  const cv::Size whole(image.cols / factor, image.rows / factor);
  cv::Mat out(reduced, image.type());
  if (whole.area() > 0) {
    cv::Mat inner = out(cv::Rect(cv::Point(), whole));
    cv::resize(image(cv::Rect(0, 0, whole.width * factor, whole.height * factor)), inner, whole, 0,
               0, cv::INTER_AREA);
  }
  // The partial blocks of the last column and row, if any.
  for (int y = 0; y < reduced.height; ++y)
    for (int x = y < whole.height ? whole.width : 0; x < reduced.width; ++x) {
      const cv::Rect block =
          cv::Rect(x * factor, y * factor, factor, factor) & cv::Rect(0, 0, image.cols, image.rows);
      const cv::Scalar mean = cv::mean(image(block));
      out.at<cv::Vec3b>(y, x) =
          cv::Vec3b(cv::saturate_cast<uchar>(mean[0]), cv::saturate_cast<uchar>(mean[1]),
                    cv::saturate_cast<uchar>(mean[2]));
    }
  return out;
}

bool readFrameFile(const std::string& path, std::vector<unsigned char>& bytes) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary | std::ios::ate);
  const std::streamoff size = in ? std::streamoff(in.tellg()) : -1;
  if (size < 0 || !in.seekg(0)) return false;
  bytes.resize(static_cast<size_t>(size));
  return bool(in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size())));
}

cv::Mat decodeFrameImage(const std::vector<unsigned char>& bytes) {
  if (bytes.empty()) return cv::Mat();
  cv::Mat image;
  if (isJpeg(bytes) && decodeColourJpegDirectly(bytes, 1, image)) return image;
  image = cv::imdecode(bytes, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
  if (image.empty() || image.type() != CV_8UC3) return cv::Mat();
  return image;
}

cv::Mat decodeFrameImageReduced(const std::vector<unsigned char>& bytes, int factor) {
  if (factor != 1 && factor != 2 && factor != 4 && factor != 8)
    throw std::invalid_argument("decodeFrameImageReduced: the factor must be 1, 2, 4 or 8, not " +
                                std::to_string(factor));
  // A PNG or TIFF is reduced band by band where its layout allows: decoded whole, a large one
  // would hold gigabytes.
  if (factor > 1 && isBandDecodablePng(bytes)) return decodePngReducedInBands(bytes, factor);
  if (factor > 1 && isBandDecodableTiff(bytes)) return decodeTiffReducedInBands(bytes, factor);
  if (factor == 1 || !isJpeg(bytes)) {
    cv::Mat image = decodeFrameImage(bytes);
    return factor == 1 || image.empty() ? image : reduceFrameImage(image, factor);
  }
  cv::Mat image;
  if (decodeColourJpegDirectly(bytes, factor, image)) return image;
  image = cv::imdecode(bytes, reducedFlag(factor) | cv::IMREAD_IGNORE_ORIENTATION);
  if (image.empty() || image.type() != CV_8UC3) return cv::Mat();
  return image;
}

bool reducesWhileDecoding(const std::vector<unsigned char>& bytes) {
  return isJpeg(bytes) || isBandDecodablePng(bytes) || isBandDecodableTiff(bytes);
}

int decodeReductionFor(double reduction) {
  int factor = 1;
  while (factor < 8 && reduction >= 2.0 * factor) factor *= 2;
  return factor;
}

cv::Mat bgrOf(const cv::Mat& image) {
  if (image.empty() || image.dims != 2) return cv::Mat();
  cv::Mat eight;
  switch (image.depth()) {
    case CV_8U:
      eight = image;
      break;
    case CV_16U:
      eight = highBytes(image);
      break;
    default:
      return cv::Mat();
  }
  cv::Mat bgr;
  switch (eight.channels()) {
    case 1:
      cv::cvtColor(eight, bgr, cv::COLOR_GRAY2BGR);
      break;
    case 2: {  // grey with alpha: the alpha is dropped
      cv::Mat grey;
      cv::extractChannel(eight, grey, 0);
      cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
      break;
    }
    case 3:
      bgr = eight;
      break;
    case 4:
      cv::cvtColor(eight, bgr, cv::COLOR_BGRA2BGR);
      break;
    default:
      return cv::Mat();
  }
  return bgr;
}

}  // namespace fw
