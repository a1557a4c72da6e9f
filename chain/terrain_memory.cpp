#include "terrain_memory.h"

#include "framework/setting_value.h"
#include "framework/thread_limit.h"

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

// A setting of "specific" as the node's settings store finds it: flat
// ("terrainfusion.threads"), nested ({"terrainfusion": {"threads": ...}}) or, when the
// configuration names it nowhere, from the environment variable of the same name.
std::optional<fw::FoundSetting> specificSetting(const nlohmann::json& legacyTf,
                                                const std::string& key) {
  const auto specific = legacyTf.find("specific");
  return fw::findSetting(specific != legacyTf.end() ? *specific : nlohmann::json::object(), key);
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

double machineBytes() {
  double machine = kFallbackMachineBytes;
#if defined(__unix__) || defined(__APPLE__)
  const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
  if (pages > 0 && pageSize > 0) machine = double(pages) * double(pageSize);
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    machine = std::min(machine, double(limit.rlim_cur));
  }
#endif
  return machine;
}

double defaultBudgetBytes() { return machineBytes() / 2.0; }

Settings settingsOf(const nlohmann::json& legacyTf, std::string& error) {
  Settings s;
  s.budgetBytes = defaultBudgetBytes();
  s.workers = defaultWorkers();
  s.cacheTiles = kDefaultCacheTiles;
  if (!legacyTf.is_object()) return s;
  if (const auto budget = specificSetting(legacyTf, "terrainfusion.memory_budget_mb")) {
    const std::optional<double> v = fw::settingNumber(budget->value);
    if (v && *v > 0.0) {
      s.budgetBytes = *v * kMegabyte;
    } else if (error.empty()) {
      error = "terrainfusion.memory_budget_mb " + fw::shownSetting(budget->value) +
              " is not a positive number of MB";
    }
  }
  if (const auto threads = specificSetting(legacyTf, "terrainfusion.threads")) {
    // As the node's pool takes it: at least one worker, at most the thread limit.
    if (const std::optional<double> v = fw::settingNumber(threads->value))
      s.workers = static_cast<int>(std::clamp(*v, 1.0, double(fw::maxThreadSetting())));
  }
  if (const auto cache = specificSetting(legacyTf, "terrainfusion.cache_size")) {
    const std::optional<double> v = fw::settingNumber(cache->value);
    if (v && *v >= 1.0) s.cacheTiles = *v;
  }
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
  const double need = kSmallestFramePixels * std::pow(4.0, steps) * kRasterBytesPerPixel;
  if (need <= s.frameBudgetBytes()) return "";
  const std::string share =
      megabytes(s.frameBudgetBytes()) + " each of the " + std::to_string(s.workers) +
      " terrain workers may use (terrainfusion.memory_budget_mb " +
      number(std::round(s.budgetBytes / kMegabyte)) +
      " less the tile cache, over terrainfusion.threads " + std::to_string(s.workers) + ")";
  // Fewer workers would each have room for the frame: the thread count is what to lower.
  const double fitting = std::floor(s.frameBudgetBytes() * s.workers / need);
  if (fitting >= 1.0) {
    return "terrainfusion.threads " + std::to_string(s.workers) +
           " leaves too little memory to each terrain worker: a 640 x 480 frame at dom.scale " +
           number(s.scale) + " would need " + megabytes(need) + " of rasters, over the " + share +
           "; use at most " + number(fitting) + " threads or raise the budget";
  }
  // The most zoom steps a worker's share allows, and the smallest scale that keeps to them.
  const double ratio = s.frameBudgetBytes() / (kSmallestFramePixels * kRasterBytesPerPixel);
  const double leastScale =
      ratio > 0.0 ? std::pow(2.0, -std::floor(std::log(ratio) / std::log(4.0))) : kMaxDomScale * 2;
  const std::string hint = leastScale <= kMaxDomScale
                               ? "; use a scale of at least " + number(leastScale)
                               : "; raise terrainfusion.memory_budget_mb";
  const std::string finer = steps > 0 ? " sets the DOM " + std::to_string(steps) +
                                            " zoom levels finer than the frames' ground "
                                            "sampling distance: even"
                                      : ": even";
  return "dom.scale " + number(s.scale) + finer + " a 640 x 480 frame would need " +
         megabytes(need) + " of rasters, over the " + share + hint;
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
