#pragma once

#include "framework/log.h"
#include "tiles/tile.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Helpers of the tile store and cache tests: seeded tiles and a log sink that keeps lines.
namespace store_test {

enum class Weight { Full, LeftHalf, None };

// A tile as terrain fusion makes one: 256 x 256 BGR image, 64 x 64 float heights, 256 x 256
// weight; content drawn from the seed; marked modified.
inline std::shared_ptr<TerrainFusionMultiTile> makeTile(int32_t x, int32_t y, int32_t z,
                                                        unsigned seed, Weight weight = Weight::Full,
                                                        double time = 1.0, int imageSize = 256,
                                                        int heightSize = 64) {
  cv::RNG rng(seed);
  cv::Mat image(imageSize, imageSize, CV_8UC3), heights(heightSize, heightSize, CV_32FC1);
  rng.fill(image, cv::RNG::UNIFORM, 0, 256);
  rng.fill(heights, cv::RNG::UNIFORM, -50.0, 500.0);
  cv::Mat w(imageSize, imageSize, CV_8UC1, cv::Scalar(weight == Weight::None ? 0 : 200));
  if (weight == Weight::LeftHalf) w(cv::Rect(0, 0, imageSize / 2, imageSize)).setTo(0);
  auto tile = std::make_shared<TerrainFusionMultiTile>(fw::GImage(image), fw::GImage(heights), x, y,
                                                       z, time, fw::GImage(w));
  tile->SetModified(true);
  return tile;
}

inline bool sameRaster(const fw::GImage& a, const fw::GImage& b) {
  if (a.cols != b.cols || a.rows != b.rows || a.type != b.type) return false;
  return a.byteSize() == 0 || std::equal(a.data, a.data + a.byteSize(), b.data);
}

// Image, weight, position and time equal; heights equal where the weight resized to the
// height grid is not 0, -1e9 elsewhere.
inline bool sameTile(const fw::TileBase& readBase, const TerrainFusionMultiTile& written) {
  auto read = dynamic_cast<const TerrainFusionMultiTile*>(&readBase);
  if (!read || !sameRaster(read->GetImage(), written.GetImage()) ||
      !sameRaster(read->GetWeight(), written.GetWeight()) ||
      read->GetPosition() != written.GetPosition() ||
      read->GetTimestamp() != written.GetTimestamp()) {
    return false;
  }
  const cv::Mat heights = written.GetElevation(), got = read->GetElevation();
  if (got.size() != heights.size() || got.type() != heights.type()) return false;
  cv::Mat resized;
  cv::resize(cv::Mat(written.GetWeight()), resized, heights.size(), 0, 0, cv::INTER_LINEAR);
  for (int r = 0; r < heights.rows; ++r) {
    for (int c = 0; c < heights.cols; ++c) {
      const float want = resized.at<uint8_t>(r, c) > 0 ? heights.at<float>(r, c) : -1e9f;
      if (got.at<float>(r, c) != want) return false;
    }
  }
  return true;
}

// Keeps every log line while it lives. Register and unregister while no other thread logs.
class LogCapture : public fw::LogSink {
 public:
  LogCapture() { fw::logSinks()->insert(this); }
  ~LogCapture() override { fw::logSinks()->erase(this); }

  void write(int severity, const char*, const char*, int, const struct tm*, const char* text,
             uint64_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({severity, std::string(text, length)});
  }
  void flush() override {}

  // Lines of this severity (fw::kLogError and kin) that contain the text.
  size_t count(const std::string& text, int severity = fw::kLogInfo) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(lines_.begin(), lines_.end(), [&](const auto& l) {
      return l.first == severity && l.second.find(text) != std::string::npos;
    });
  }
  size_t errors() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(lines_.begin(), lines_.end(),
                         [](const auto& l) { return l.first == fw::kLogError; });
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace store_test
