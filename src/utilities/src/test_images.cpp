#include "test_images.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <fstream>
#include <stdexcept>

namespace vmtest {

std::filesystem::path writeTestJpeg(const std::filesystem::path& path, int columns, int rows,
                                    std::uint32_t seed) {
  // Gradients with a little seeded noise: compresses roughly like a photograph. Plain loops,
  // so no OpenCV worker threads start inside the tests.
  cv::Mat image(rows, columns, CV_8UC3);
  cv::RNG rng(seed);
  for (int y = 0; y < rows; ++y) {
    auto* pixel = image.ptr<cv::Vec3b>(y);
    for (int x = 0; x < columns; ++x) {
      const int noise = rng.uniform(0, 16);
      pixel[x] = cv::Vec3b(static_cast<uchar>((x * 7 + seed) & 255),
                           static_cast<uchar>((y * 5 + noise) & 255),
                           static_cast<uchar>(((x + y) * 3 + seed * 11) & 255));
    }
  }
  // Encoded in memory: file-name based writing probes more codec libraries than a JPEG needs.
  std::vector<unsigned char> bytes;
  if (!cv::imencode(".jpg", image, bytes)) throw std::runtime_error("cannot encode a JPEG");
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
  return path;
}

nlohmann::json frameDocument(const std::filesystem::path& image, int calibrationWidth,
                             int calibrationHeight) {
  const double focal = 0.8 * calibrationWidth;
  return {{"uri", image.string()},
          {"calibration",
           {{"width", calibrationWidth},
            {"height", calibrationHeight},
            {"fx", focal},
            {"fy", focal},
            {"cx", calibrationWidth / 2.0},
            {"cy", calibrationHeight / 2.0}}}};
}

std::filesystem::path writeFrameList(const std::filesystem::path& folder, int count, int columns,
                                     int rows) {
  nlohmann::json list = nlohmann::json::array();
  for (int i = 0; i < count; ++i) {
    auto image = writeTestJpeg(folder / ("frame_" + std::to_string(i) + ".jpg"), columns, rows,
                               static_cast<std::uint32_t>(1000 + i));
    list.push_back(frameDocument(image, columns, rows));
  }
  const auto path = folder / "frames.json";
  writeJson(path, list);
  return path;
}

void writeJson(const std::filesystem::path& path, const nlohmann::json& doc) {
  std::ofstream out(path);
  out << doc.dump();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace vmtest
