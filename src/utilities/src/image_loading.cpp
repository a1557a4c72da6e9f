#include "dataset.h"

#include "calibration_fit.h"
#include "md5_hex.h"

#include "framework/log.h"

#include <opencv2/imgcodecs.hpp>

#include <fstream>
#include <iterator>
#include <vector>

namespace {

// Crops and scales the frame's calibration to the decoded image when their sizes differ.
void fitCamera(VornMapperFrame& frame, int columns, int rows) {
  fw::Camera camera = frame.getCamera(0);
  if (!camera.isValid() || (camera.width() == columns && camera.height() == rows)) return;
  std::vector<double> parameters = camera.getParameters();
  if (parameters.size() < 6) return;
  frame.setCamera(fw::Camera(fitCalibrationToImage(parameters, columns, rows)).impl());
}

bool loadImageOrThrow(VornMapperFrame& frame) {
  const std::string& path = frame.imagePath();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    FW_LOG(fw::kLogError) << "Failed to open " << path;
    return false;
  }
  frame.loadState.store(VornMapperFrame::kReading);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  if (in.bad()) {
    FW_LOG(fw::kLogError) << "Failed to read " << path;
    return false;
  }
  if (frame.name.empty()) frame.name = md5Hex(bytes.data(), bytes.size());
  cv::Mat image;
  if (!bytes.empty()) image = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
  if (image.empty() || image.cols < 1 || image.rows < 1) {
    FW_LOG(fw::kLogError) << "Failed to decode image " << path;
    return false;
  }
  frame.setImage(fw::GImage(image), 0);
  fitCamera(frame, image.cols, image.rows);
  return true;
}

}  // namespace

bool loadImage(VornMapperFrame& frame) {
  bool loaded = false;
  try {
    loaded = loadImageOrThrow(frame);
  } catch (const std::exception& e) {
    // A decoder failure or an exhausted memory costs this frame, never the run.
    FW_LOG(fw::kLogError) << "Failed to load image " << frame.imagePath() << ": " << e.what();
  }
  frame.loadState.store(loaded ? VornMapperFrame::kLoaded : VornMapperFrame::kFailed);
  return loaded;
}
