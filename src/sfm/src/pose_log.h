#pragma once

#include "framework/pose.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace sfm {

// The located poses, one JSON object per line in "poses.jsonl" of the front end's work
// folder, so that a user can check and reuse them: identifier, image path, geodetic
// position (latitude, longitude, altitude), the earth-centred world-from-camera pose
// (quaternion x, y, z, w and translation in metres) and whether the pose was refined from
// the images ("refined") or is the direct one. Each line is flushed as written.
class PoseLog {
 public:
  // An empty folder writes nothing. The file is made new, replacing an earlier one; the
  // folders on the way are opened without following links. A folder that cannot be made or
  // opened (a link on the way among the reasons) or a file that cannot be made is logged as an
  // error once; locating goes on without the file.
  explicit PoseLog(const std::filesystem::path& folder);
  ~PoseLog();
  PoseLog(const PoseLog&) = delete;
  PoseLog& operator=(const PoseLog&) = delete;

  void append(uint64_t id, const std::string& image_path, double latitude, double longitude,
              double altitude, const SE3& world_from_camera, bool refined);

  static constexpr const char* kFileName = "poses.jsonl";

 private:
  std::FILE* out_ = nullptr;
};

}  // namespace sfm
