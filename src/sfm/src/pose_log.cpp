#include "pose_log.h"

#include "framework/link_free_folder.h"
#include "framework/log.h"

#include <nlohmann/json.hpp>

#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace sfm {

PoseLog::PoseLog(const std::filesystem::path& folder) {
  if (folder.empty()) return;
  const std::string file = (folder / kFileName).string();
  std::string reason;
  const fw::LinkFreeFolder opened =
      fw::LinkFreeFolder::open(folder.string(), fw::LinkFreeFolder::Missing::kCreate, reason);
  // The file is made new under a temporary name and renamed into place: an earlier file, a
  // link or a second name of another file at its name is replaced, never written through.
  const std::string temporary = fw::temporaryNameOf(kFileName);
  int fd = -1;
  if (opened.isOpen()) {
    opened.remove(temporary);
    fd = opened.createFile(temporary, reason);
    if (fd >= 0 && !opened.rename(temporary, kFileName, /*replace=*/true, reason)) {
      ::close(fd);
      opened.remove(temporary);
      fd = -1;
    }
  }
  if (fd >= 0) out_ = ::fdopen(fd, "w");
  if (fd >= 0 && !out_) {
    reason = std::strerror(errno);
    ::close(fd);
  }
  if (!out_) FW_LOG(fw::kLogError) << "Failed to open the pose file " << file << ": " << reason;
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
