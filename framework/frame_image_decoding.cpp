#include "framework/frame_image_decoding.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>

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

}  // namespace

cv::Mat decodeFrameImage(const std::vector<unsigned char>& bytes) {
  if (bytes.empty()) return cv::Mat();
  cv::Mat image = cv::imdecode(bytes, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
  if (image.empty() || image.type() != CV_8UC3) return cv::Mat();
  return image;
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
