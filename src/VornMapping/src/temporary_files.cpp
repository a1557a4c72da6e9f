#include "temporary_files.h"

#include "framework/link_free_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <utility>

namespace {

using nlohmann::json;

// Adds the product's "tiling"."location" when the task gives it as a text.
void addLocation(const json& object, const char* product, std::vector<std::string>& out) {
  if (!object.is_object()) return;
  const auto settings = object.find(product);
  if (settings == object.end() || !settings->is_object()) return;
  const auto tiling = settings->find("tiling");
  if (tiling == settings->end() || !tiling->is_object()) return;
  const auto location = tiling->find("location");
  if (location != tiling->end() && location->is_string()) out.push_back(*location);
}

bool isOwnTemporaryName(const std::string& name, const std::string& suffix) {
  return name.size() > suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Removes this process's temporary files in the open folder and the folders below it. Each
// step is opened relative to the one above without following a link, and each file removed
// relative to its folder, so a link planted on the way cannot lead the removal out of it.
// `seen` keeps a folder reached twice (a location inside home) from being walked twice.
void removeBelow(int folder, const std::string& suffix, std::set<std::pair<dev_t, ino_t>>& seen,
                 int& removed) {
  struct stat info {};
  if (::fstat(folder, &info) != 0 || !seen.insert({info.st_dev, info.st_ino}).second) return;
  const int listed = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
  DIR* entries = listed < 0 ? nullptr : ::fdopendir(listed);
  if (!entries) {
    if (listed >= 0) ::close(listed);
    return;
  }
  std::vector<std::string> folders;
  while (const dirent* entry = ::readdir(entries)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." ||
        ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    if (S_ISDIR(info.st_mode)) {
      folders.push_back(name);
    } else if (S_ISREG(info.st_mode) && isOwnTemporaryName(name, suffix) &&
               ::unlinkat(folder, name.c_str(), 0) == 0) {
      ++removed;
    }
  }
  ::closedir(entries);
  for (const std::string& name : folders) {
    const int below =
        ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (below < 0) continue;
    removeBelow(below, suffix, seen, removed);
    ::close(below);
  }
}

}  // namespace

std::vector<std::string> taskFolders(const json& rebuiltTask) {
  std::vector<std::string> folders;
  if (!rebuiltTask.is_object()) return folders;
  const auto home = rebuiltTask.find("home");
  if (home != rebuiltTask.end() && home->is_string()) folders.push_back(*home);
  const auto chain = rebuiltTask.find("chain");
  if (chain == rebuiltTask.end() || !chain->is_array()) return folders;
  for (const json& item : *chain) {
    if (!item.is_object() || !item.contains("config")) continue;
    const json& config = item["config"];
    if (!config.is_object()) continue;
    if (config.contains("work_dir") && config["work_dir"].is_string())
      folders.push_back(config["work_dir"]);
    const auto tiling = config.find("tiling");
    if (tiling != config.end() && tiling->is_object() && tiling->contains("location") &&
        (*tiling)["location"].is_string())
      folders.push_back((*tiling)["location"]);
    const auto terrain = config.find("legacy_tf");
    if (terrain == config.end()) continue;
    addLocation(*terrain, "dom", folders);
    addLocation(*terrain, "dsm", folders);
    if (terrain->is_object() && terrain->contains("work_dir") && (*terrain)["work_dir"].is_string())
      folders.push_back((*terrain)["work_dir"]);
  }
  return folders;
}

int removeOwnTemporaryFiles(const std::vector<std::string>& folders) {
  const std::string suffix = fw::temporarySuffix();
  std::set<std::pair<dev_t, ino_t>> seen;
  int removed = 0;
  for (const std::string& path : folders) {
    std::string reason;
    // A folder named by a link, or reached through one, is not walked: nothing behind a link
    // is ours to remove.
    const fw::LinkFreeFolder folder =
        fw::LinkFreeFolder::open(path, fw::LinkFreeFolder::Missing::kFail, reason);
    if (folder.isOpen()) removeBelow(folder.descriptor(), suffix, seen, removed);
  }
  return removed;
}
