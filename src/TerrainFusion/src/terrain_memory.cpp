#include "src/TerrainFusion/src/terrain_memory.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace terrain_memory {
namespace {

constexpr double kMegabyte = 1024.0 * 1024.0;
constexpr double kDefaultCacheTiles = 1000.0;
// Where the machine's memory cannot be asked for.
constexpr double kFallbackMachineBytes = 8.0 * 1024.0 * kMegabyte;

// A setting of "specific": flat ("terrainfusion.threads") or nested ({"terrainfusion":
// {"threads": ...}}), as the node's settings store takes both. A number or a text holding one.
bool specificNumber(const nlohmann::json& legacyTf, const std::string& key, double& value) {
  const auto specific = legacyTf.find("specific");
  if (specific == legacyTf.end() || !specific->is_object()) return false;
  const nlohmann::json* found = nullptr;
  const auto flat = specific->find(key);
  if (flat != specific->end()) {
    found = &*flat;
  } else {
    const size_t dot = key.find('.');
    const auto group = specific->find(key.substr(0, dot));
    if (dot != std::string::npos && group != specific->end() && group->is_object()) {
      const auto leaf = group->find(key.substr(dot + 1));
      if (leaf != group->end()) found = &*leaf;
    }
  }
  if (!found) return false;
  if (found->is_number()) {
    value = found->get<double>();
    return true;
  }
  if (found->is_string()) {
    const std::string text = found->get<std::string>();
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() && *end == '\0') {
      value = v;
      return true;
    }
  }
  return false;
}

std::string number(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

std::string megabytes(double bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%.0f MB", std::ceil(bytes / kMegabyte));
  return text;
}

}  // namespace

int Settings::zoomSteps() const {
  if (!(scale > 0.0) || !std::isfinite(scale)) return 0;
  return static_cast<int>(-std::round(std::log2(scale)));
}

double Settings::cacheTilesAllowed() const {
  return std::min(cacheTiles, std::floor(budgetBytes / 2.0 / kCachedTileBytes));
}

double Settings::frameBudgetBytes() const {
  return (budgetBytes - cacheTilesAllowed() * kCachedTileBytes) / workers;
}

int defaultWorkers() { return static_cast<int>(std::thread::hardware_concurrency() / 2 + 1); }

double defaultBudgetBytes() {
  double machine = kFallbackMachineBytes;
#if defined(__unix__) || defined(__APPLE__)
  const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && pageSize > 0) machine = double(pages) * double(pageSize);
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    machine = std::min(machine, double(limit.rlim_cur));
  }
#endif
  return machine / 2.0;
}

Settings settingsOf(const nlohmann::json& legacyTf, std::string& error) {
  Settings s;
  s.budgetBytes = defaultBudgetBytes();
  s.workers = defaultWorkers();
  s.cacheTiles = kDefaultCacheTiles;
  if (!legacyTf.is_object()) return s;
  double v = 0.0;
  if (specificNumber(legacyTf, "terrainfusion.memory_budget_mb", v)) {
    if (v > 0.0 && std::isfinite(v)) {
      s.budgetBytes = v * kMegabyte;
    } else if (error.empty()) {
      error = "terrainfusion.memory_budget_mb " + number(v) + " is not a positive number of MB";
    }
  }
  if (specificNumber(legacyTf, "terrainfusion.threads", v) && std::isfinite(v)) {
    s.workers = static_cast<int>(std::clamp(v, 1.0, 1e6));  // the node runs at least one
  }
  if (specificNumber(legacyTf, "terrainfusion.cache_size", v) && v >= 1.0) s.cacheTiles = v;
  const auto dom = legacyTf.find("dom");
  if (dom != legacyTf.end() && dom->is_object()) {
    const auto scale = dom->find("scale");
    if (scale != dom->end() && scale->is_number()) {
      const double value = scale->get<double>();
      if (value > 0.0 && std::isfinite(value)) s.scale = value;  // the node warns otherwise
    }
  }
  return s;
}

std::string frameError(const Settings& settings, double pixels) {
  const double bytes = pixels * kRasterBytesPerPixel;
  if (bytes <= settings.frameBudgetBytes()) return "";
  return "its rasters would need " + megabytes(bytes) + ", over the " +
         megabytes(settings.frameBudgetBytes()) + " each of the " +
         std::to_string(settings.workers) +
         " terrain workers may use (terrainfusion.memory_budget_mb less the tile cache, over "
         "terrainfusion.threads); raise dom.scale or the budget";
}

std::string settingsError(const nlohmann::json& legacyTf) {
  std::string error;
  const Settings s = settingsOf(legacyTf, error);
  if (!error.empty()) return error;
  const int steps = s.zoomSteps();
  const double pixels = kSmallestFramePixels * std::pow(4.0, steps);
  if (pixels * kRasterBytesPerPixel <= s.frameBudgetBytes()) return "";
  // The most zoom steps a worker's share allows, and the smallest scale that keeps to them.
  const double ratio = s.frameBudgetBytes() / (kSmallestFramePixels * kRasterBytesPerPixel);
  const int allowed =
      ratio >= 1.0 ? static_cast<int>(std::floor(std::log(ratio) / std::log(4.0))) : -1;
  std::string hint = allowed >= 0 ? "; use a scale of at least " + number(std::pow(2.0, -allowed))
                                  : "; raise terrainfusion.memory_budget_mb";
  return "dom.scale " + number(s.scale) + " sets the DOM " + std::to_string(steps) +
         " zoom levels finer than the frames' ground sampling distance: even a 640 x 480 frame "
         "would need " +
         megabytes(pixels * kRasterBytesPerPixel) + " of rasters, over the " +
         megabytes(s.frameBudgetBytes()) + " each of the " + std::to_string(s.workers) +
         " terrain workers may use (terrainfusion.memory_budget_mb " +
         number(std::round(s.budgetBytes / kMegabyte)) +
         " less the tile cache, over "
         "terrainfusion.threads " +
         std::to_string(s.workers) + ")" + hint;
}

}  // namespace terrain_memory

std::string terrainSettingsError(const std::string& legacyTfJson) {
  nlohmann::json legacyTf;
  try {
    legacyTf = nlohmann::json::parse(legacyTfJson);
  } catch (const std::exception& e) {
    return std::string("the terrain settings are not JSON: ") + e.what();
  }
  return terrain_memory::settingsError(legacyTf);
}
