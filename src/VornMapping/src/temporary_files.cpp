#include "temporary_files.h"

#include <unistd.h>

#include <filesystem>
#include <set>
#include <system_error>

namespace {

namespace fs = std::filesystem;
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
  const std::string suffix = "." + std::to_string(::getpid()) + ".tmp";
  std::set<fs::path> removed;
  for (const std::string& folder : folders) {
    std::error_code error;
    // A folder named by a link is not walked: nothing behind a link is ours to remove.
    if (!fs::is_directory(fs::symlink_status(folder, error))) continue;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied,
                                        error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
      const fs::directory_entry& entry = *it;
      std::error_code statusError;
      if (!entry.is_regular_file(statusError) || entry.is_symlink(statusError)) continue;
      if (!isOwnTemporaryName(entry.path().filename().string(), suffix)) continue;
      if (removed.count(entry.path())) continue;
      if (fs::remove(entry.path(), statusError)) removed.insert(entry.path());
    }
  }
  return static_cast<int>(removed.size());
}
