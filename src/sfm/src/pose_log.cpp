#include "pose_log.h"

#include "framework/log.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace sfm {

PoseLog::PoseLog(const std::filesystem::path& folder) {
  if (folder.empty()) return;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  const std::filesystem::path file = folder / kFileName;
  if (error) {
    FW_LOG(fw::kLogError) << "Failed to open the pose file " << file.string() << ": "
                          << error.message();
    return;
  }
  // A link planted at the file's name would have us truncate whatever it points to.
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int code = errno;
    FW_LOG(fw::kLogError) << "Failed to open the pose file " << file.string() << ": "
                          << (code == ELOOP ? "it is a symbolic link, which is not followed"
                                            : std::strerror(code));
    return;
  }
  out_ = ::fdopen(fd, "w");
  if (!out_) {
    ::close(fd);
    FW_LOG(fw::kLogError) << "Failed to open the pose file " << file.string();
  }
}

PoseLog::~PoseLog() {
  if (out_) std::fclose(out_);
}

void PoseLog::append(uint64_t id, const std::string& image_path, double latitude, double longitude,
                     double altitude, const SE3& world_from_camera, bool refined) {
  if (!out_) return;
  const SE3& p = world_from_camera;
  const nlohmann::json line = {{"id", id},
                               {"image", image_path},
                               {"latitude", latitude},
                               {"longitude", longitude},
                               {"altitude", altitude},
                               {"rotation", {p.q.x, p.q.y, p.q.z, p.q.w}},
                               {"translation", {p.t.x, p.t.y, p.t.z}},
                               {"refined", refined}};
  // Paths need not be valid UTF-8: replace what is not rather than throw.
  const std::string text =
      line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
  std::fwrite(text.data(), 1, text.size(), out_);
  std::fflush(out_);
}

}  // namespace sfm
