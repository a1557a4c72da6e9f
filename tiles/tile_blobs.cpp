#include "tiles/tile_blobs.h"

#include "tiles/png_codec.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace tile_blobs {
namespace {

bool isWeight(const fw::GImage& weight) { return !weight.empty() && weight.type == CV_8UC1; }

}  // namespace

bool domRgba(const fw::GImage& image, const fw::GImage& weight, std::vector<uint8_t>& rgba,
             std::string& error) {
  if (image.type != CV_8UC3) {
    error = "the image is not 8-bit with 3 channels";
    return false;
  }
  if (!isWeight(weight) || weight.cols != image.cols || weight.rows != image.rows) {
    error = "the weight is not 8-bit with 1 channel of the image's size";
    return false;
  }
  const cv::Mat bgr = image;
  const cv::Mat w = weight;
  cv::Mat rgb, alpha;
  cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
  cv::threshold(w, alpha, 0.0, 255.0, cv::THRESH_BINARY);
  rgba.resize(static_cast<size_t>(image.cols) * image.rows * 4);
  cv::Mat out(image.rows, image.cols, CV_8UC4, rgba.data());
  const cv::Mat planes[] = {rgb, alpha};
  const int fromTo[] = {0, 0, 1, 1, 2, 2, 3, 3};
  cv::mixChannels(planes, 2, &out, 1, fromTo, 4);
  return true;
}

bool encodeDomPng(const std::vector<uint8_t>& rgba, int width, int height, unsigned flags,
                  std::vector<uint8_t>& png, std::string& error) {
  if (!encodePng(rgba.data(), static_cast<uint32_t>(width), static_cast<uint32_t>(height), 4, png,
                 flags)) {
    error = "the PNG encoder refused the image";
    return false;
  }
  return true;
}

bool encodeDsmTiff(const fw::GImage& elevation, const fw::GImage& weight,
                   std::vector<uint8_t>& tiff, std::string& error) {
  if (!isWeight(weight)) {
    error = "the tile has no 8-bit weight";
    return false;
  }
  cv::Mat heights = cv::Mat(elevation).clone();
  cv::Mat resized, mask;
  cv::resize(cv::Mat(weight), resized, heights.size(), 0, 0, cv::INTER_LINEAR);
  cv::threshold(resized, mask, 0.0, 1.0, cv::THRESH_BINARY);
  heights.setTo(cv::Scalar::all(kNoHeight), mask == 0);
  try {
    if (cv::imencode(".tiff", heights, tiff, {cv::IMWRITE_TIFF_COMPRESSION, 0})) return true;
    error = "the TIFF encoder refused the heights";
  } catch (const cv::Exception& e) {
    error = e.what();
  }
  return false;
}

bool decodeDomPng(const uint8_t* bytes, size_t size, fw::GImage& image) {
  std::vector<uint8_t> rgb;
  uint32_t width = 0, height = 0;
  int channels = 0;
  if (decodePng(bytes, size, rgb, width, height, channels, 3) != kPngDecoded) return false;
  const cv::Mat view(static_cast<int>(height), static_cast<int>(width), CV_8UC3, rgb.data());
  cv::Mat bgr;
  cv::cvtColor(view, bgr, cv::COLOR_RGB2BGR);
  image = fw::GImage(bgr);
  return true;
}

bool decodeDsmTiff(const uint8_t* bytes, size_t size, fw::GImage& elevation) {
  if (size == 0) return false;
  cv::Mat decoded;
  try {
    decoded = cv::imdecode(cv::Mat(1, static_cast<int>(size), CV_8UC1, const_cast<uint8_t*>(bytes)),
                           cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception&) {
    return false;
  }
  if (decoded.empty()) return false;
  elevation = fw::GImage(decoded);
  return true;
}

fw::GImage noDataElevation() {
  return fw::GImage(cv::Mat(64, 64, CV_32FC1, cv::Scalar(kNoHeight)));
}

}  // namespace tile_blobs
