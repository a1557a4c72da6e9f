#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>
#include <vector>

// What a frame document says about one image, before it becomes a frame.
struct FrameDocument {
  std::string uri;
  // Negative when the document carries no usable time stamp; the dataset then derives one.
  double timestamp = -1.0;
  // 0, 8 or 14 entries: position, its sigmas, relative altitude, then attitude and its sigmas.
  std::vector<double> gps;
  // width, height, fx, fy, cx, cy, k1, k2, p1, p2, k3 (distortion 0 when not all five given).
  std::vector<double> calibration;
};

// Reads one frame document. Returns false and fills `error` with a message that names the
// image (when known) and the offending key when the document cannot become a frame.
bool readFrameDocument(const nlohmann::json& doc, FrameDocument& out, std::string& error);
