#include "framework/frame_image_decoding.h"

#include <opencv2/imgcodecs.hpp>

namespace fw {

cv::Mat decodeFrameImage(const std::vector<unsigned char>& bytes) {
  if (bytes.empty()) return cv::Mat();
  cv::Mat image = cv::imdecode(bytes, cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION);
  if (image.empty() || image.type() != CV_8UC3) return cv::Mat();
  return image;
}

}  // namespace fw
