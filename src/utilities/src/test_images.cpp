#include "test_images.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <fstream>
#include <stdexcept>

namespace vmtest {

std::filesystem::path writeTestJpeg(const std::filesystem::path& path, int columns, int rows,
                                    std::uint32_t seed) {
  cv::Mat image(rows, columns, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(image, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
  // Smooth the noise a little so the file compresses like a photograph.
  cv::GaussianBlur(image, image, cv::Size(5, 5), 1.5);
  if (!cv::imwrite(path.string(), image)) throw std::runtime_error("cannot write " + path.string());
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
