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
// image (when known) and the offending key when the document cannot become a frame, and
// `refusal` with the short reason the run's summary groups refused frames by. A position
// outside the globe (longitude beyond +-180 degrees, latitude beyond +-90, or not finite) is
// refused: wrapped or clamped it would put the frame somewhere it was not.
bool readFrameDocument(const nlohmann::json& doc, FrameDocument& out, std::string& error,
                       std::string& refusal);
bool readFrameDocument(const nlohmann::json& doc, FrameDocument& out, std::string& error);

inline constexpr char kRefusedDocument[] = "bad frame document";
inline constexpr char kRefusedPosition[] = "position off the globe";

// Whether a frame document's reader looks at a member named `key` at `level` (1: a member of
// the document, 2: a member of one of its groups such as "gps" or "calibration"). A frame
// list keeps no other member in memory while it is read.
bool isFrameDocumentMember(int level, const std::string& key);
