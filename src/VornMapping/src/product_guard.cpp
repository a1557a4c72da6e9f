#include "product_guard.h"

#include "framework/printable_text.h"

#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <system_error>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const json* member(const json& object, const char* name) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

const json* locationOf(const json& product) {
  const json* tiling = member(product, "tiling");
  const json* location = tiling ? member(*tiling, "location") : nullptr;
  return location && location->is_string() ? location : nullptr;
}

void planTerrain(const json& terrain, ProductPlan& plan) {
  const json* dom = member(terrain, "dom");
  const json* dsm = member(terrain, "dsm");
  const json* workDir = member(terrain, "work_dir");
  // The terrain stage takes the storage mode of the DOM for both products.
  const json* tiling = dom ? member(*dom, "tiling") : nullptr;
  const json* storage = tiling ? member(*tiling, "storage") : nullptr;
  const bool mbtiles = storage && storage->is_number() && storage->get<double>() == 2.0;
  auto add = [&](const json* folder, const char* database) {
    if (!folder) return;
    plan.folders.push_back(*folder);
    if (mbtiles) {
      const std::string path = (fs::path(folder->get<std::string>()) / database).string();
      plan.files.push_back(path);
      plan.databases.push_back(path);
    }
  };
  add(dom ? locationOf(*dom) : nullptr, "dom.mbtiles");
  add(dsm ? locationOf(*dsm) : nullptr, "dsm.mbtiles");
  if (workDir && workDir->is_string()) {
    const json tiles = (fs::path(workDir->get<std::string>()) / "tiles").string();
    add(&tiles, "tile.db");
  }
}

// The path and every folder above it: a link at any of them would divert the write (a home
// named through a link is resolved to its real folder before the run, so none is left there).
std::vector<fs::path> pathsToCheck(const fs::path& path) {
  std::vector<fs::path> paths{path};
  for (fs::path up = path.parent_path(); up.has_relative_path(); up = up.parent_path())
    paths.push_back(up);
  return paths;
}

std::string shown(const fs::path& path) { return fw::printableText(path.string()); }

void checkLinks(const fs::path& path, std::set<std::string>& reasons) {
  for (const fs::path& step : pathsToCheck(path)) {
    struct stat info {};
    if (::lstat(step.c_str(), &info) != 0) continue;
    if (S_ISLNK(info.st_mode)) {
      reasons.insert(shown(step) +
                     " is a symbolic link: products are never written through a link");
    } else if (!S_ISDIR(info.st_mode) && info.st_nlink > 1) {
      reasons.insert(shown(step) + " has " + std::to_string(info.st_nlink) +
                     " names (hard links): products are never written through another "
                     "file's name");
    }
  }
}

}  // namespace

ProductPlan productPlan(const json& chain) {
  ProductPlan plan;
  if (!chain.is_array()) return plan;
  for (const json& item : chain) {
    const json* config = member(item, "config");
    if (!config) continue;
    if (const json* points = locationOf(*config)) {
      plan.folders.push_back(*points);
      plan.files.push_back((fs::path(points->get<std::string>()) / "tileset.json").string());
    }
    if (const json* terrain = member(*config, "legacy_tf")) planTerrain(*terrain, plan);
  }
  return plan;
}

std::vector<std::string> productRefusals(const ProductPlan& plan, const std::string& homeText) {
  // A set: the same reason for a folder two products share is given once, in a fixed order.
  std::set<std::string> reasons;
  const fs::path home = fs::path(homeText).lexically_normal();
  // Folders whose own product file (or a link in its place) exists are named by that file alone.
  std::set<fs::path> named;
  for (const std::string& text : plan.files) {
    const fs::path file = fs::path(text).lexically_normal();
    checkLinks(file, reasons);
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0) continue;
    named.insert(file.parent_path());
    if (!S_ISLNK(info.st_mode)) {
      reasons.insert(shown(file) +
                     " already exists: it is an earlier run's product; remove it or choose "
                     "another home");
    }
  }
  for (const std::string& text : plan.folders) {
    const fs::path folder = fs::path(text).lexically_normal();
    checkLinks(folder, reasons);
    std::error_code error;
    const fs::file_status status = fs::symlink_status(folder, error);
    if (folder == home || named.count(folder) || fs::is_symlink(status)) continue;
    if (fs::exists(status) && !fs::is_directory(status)) {
      reasons.insert(shown(folder) +
                     " exists and is not a folder: no product can be written there");
      continue;
    }
    if (fs::is_directory(folder, error) && !fs::is_empty(folder, error)) {
      reasons.insert(shown(folder) +
                     " already exists and is not empty: it holds an earlier run's products; "
                     "remove them or choose another home");
    }
  }
  for (const std::string& text : plan.databases) {
    std::error_code error;
    fs::path absolute = fs::weakly_canonical(fs::absolute(text, error), error);
    if (error) absolute = fs::absolute(text, error).lexically_normal();
    const std::size_t length = absolute.string().size();
    if (length > kSqlitePathLimit) {
      reasons.insert("The database path " + shown(absolute) + " is " + std::to_string(length) +
                     " bytes long: SQLite opens database files by paths of at most " +
                     std::to_string(kSqlitePathLimit) +
                     " bytes; choose a shorter home or tiling location");
    }
  }
  return {reasons.begin(), reasons.end()};
}
