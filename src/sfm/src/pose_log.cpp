#include "pose_log.h"

#include "framework/log.h"

#include <nlohmann/json.hpp>

#include <system_error>

namespace sfm {

PoseLog::PoseLog(const std::filesystem::path& folder) {
  if (folder.empty()) return;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  const std::filesystem::path file = folder / kFileName;
  if (!error) out_.open(file, std::ios::out | std::ios::trunc);
  if (error || !out_) {
    FW_LOG(fw::kLogError) << "Failed to open the pose file " << file.string() << (error ? ": " + error.message() : "");
  }
}

void PoseLog::append(uint64_t id, const std::string& image_path, double latitude, double longitude, double altitude,
                     const SE3& world_from_camera) {
  if (!out_.is_open()) return;
  const SE3& p = world_from_camera;
  const nlohmann::json line = {{"id", id},
                               {"image", image_path},
                               {"latitude", latitude},
                               {"longitude", longitude},
                               {"altitude", altitude},
                               {"rotation", {p.q.x, p.q.y, p.q.z, p.q.w}},
                               {"translation", {p.t.x, p.t.y, p.t.z}}};
  // Paths need not be valid UTF-8: replace what is not rather than throw.
  out_ << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n' << std::flush;
}

}  // namespace sfm
