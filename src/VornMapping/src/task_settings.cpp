#include "task_settings.h"

#include "chain/terrain_memory.h"
#include "framework/printable_text.h"
#include "framework/projection.h"
#include "framework/setting_value.h"
#include "framework/thread_limit.h"
#include "src/sfm/src/refinement_options.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using nlohmann::json;

// Largest image limit a task may set: 1 000 000 megapixels and 1 TiB of decoded images, far
// beyond any frame, and within the loaders' 64-bit byte counts.
constexpr std::int64_t kMaxMegapixels = 1'000'000;
constexpr std::int64_t kMaxDecodeBudgetMb = std::int64_t{1} << 20;
constexpr std::int64_t kDeepestZoom = fw::kDeepestZoom;
constexpr double kMegabyte = 1024.0 * 1024.0;

std::string problem(const std::string& key, const std::string& rule, const json& value) {
  return key + " " + rule + ", not " + fw::shownSetting(value);
}

// The key as an error names it: its place in the task, or the environment variable.
std::string keyOf(const fw::FoundSetting& found, const std::string& where, const std::string& key) {
  return found.fromEnvironment ? key + " (from the environment)" : where + "." + key;
}

// A thread count of a node's settings: a whole number from 1 to the machine's thread limit.
std::string threadCount(const json& specific, const std::string& where, const std::string& key) {
  const auto found = fw::findSetting(specific, key);
  if (!found) return "";
  const std::optional<std::int64_t> count = fw::settingWholeNumber(found->value);
  const int most = fw::maxThreadSetting();
  if (count && *count >= 1 && *count <= most) return "";
  return problem(keyOf(*found, where, key),
                 "must be a whole number from 1 to " + std::to_string(most) +
                     " (4 per hardware thread, at least 16)",
                 found->value);
}

// Terrain fusion's memory budget: a positive number of MB, no more than the process may use.
std::string memoryBudget(const json& specific, const std::string& where) {
  const char* key = "terrainfusion.memory_budget_mb";
  const auto found = fw::findSetting(specific, key);
  if (!found) return "";
  const std::optional<double> budget = fw::settingNumber(found->value);
  const double most = std::floor(terrain_memory::machineBytes() / kMegabyte);
  if (budget && *budget > 0.0 && *budget <= most) return "";
  return problem(keyOf(*found, where, key),
                 "must be a number of MB above 0 and at most the memory the process may use (" +
                     std::to_string(std::int64_t(most)) + " MB)",
                 found->value);
}

bool isInteger(const json& value) {
  return value.is_number_integer() ||
         (value.is_number_float() && std::isfinite(value.get<double>()) &&
          std::floor(value.get<double>()) == value.get<double>() &&
          std::fabs(value.get<double>()) < 9e15);
}

std::int64_t integerOf(const json& value) {
  if (value.is_number_unsigned())
    return value.get<std::uint64_t>() > INT64_MAX ? INT64_MAX
                                                  : std::int64_t(value.get<std::uint64_t>());
  return value.is_number_integer() ? value.get<std::int64_t>()
                                   : static_cast<std::int64_t>(value.get<double>());
}

std::string integerIn(const json& value, const std::string& key, std::int64_t low,
                      std::int64_t high) {
  if (isInteger(value) && integerOf(value) >= low && integerOf(value) <= high) return "";
  return problem(
      key, "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high),
      value);
}

std::string positiveNumber(const json& value, const std::string& key) {
  if (value.is_number() && std::isfinite(value.get<double>()) && value.get<double>() > 0.0)
    return "";
  return problem(key, "must be a positive number", value);
}

std::string pathText(const json& value, const std::string& key) {
  if (!value.is_string()) return problem(key, "must be a text (a path)", value);
  if (fw::hasNulByte(value.get<std::string>()))
    return problem(key, "must not hold a NUL byte", value);
  return "";
}

std::string oneOf(const json& value, const std::string& key, const std::vector<json>& allowed,
                  const std::string& why) {
  // Numbers compare by value (2.0 is 2); a text or a boolean never equals a number.
  for (const json& a : allowed)
    if (value == a) return "";
  return problem(key, why, value);
}

const json* member(const json& object, const char* name) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

// An image limit of the dataset: given in the task, else perhaps in the environment.
std::string datasetLimit(const json& dataset, const char* name, std::int64_t high) {
  const std::string key = std::string("dataset.") + name;
  if (const json* v = member(dataset, name)) return integerIn(*v, key, 1, high);
  const auto found = fw::findSetting(json::object(), key);
  if (!found) return "";
  const std::optional<std::int64_t> limit = fw::settingWholeNumber(found->value);
  if (limit && *limit >= 1 && *limit <= high) return "";
  return problem(keyOf(*found, "", key), "must be a whole number from 1 to " + std::to_string(high),
                 found->value);
}

std::string checkDataset(const json& dataset) {
  if (const json* uri = member(dataset, "uri"); uri && uri->is_string()) {
    if (auto p = pathText(*uri, "dataset.uri"); !p.empty()) return p;
  }
  if (auto p = datasetLimit(dataset, "max_megapixels", kMaxMegapixels); !p.empty()) return p;
  return datasetLimit(dataset, "decode_budget_mb", kMaxDecodeBudgetMb);
}

// The front end's settings, read by its own reader; its thread count first, bounded here.
std::string checkLocate(const json& locate) {
  if (const json* v = member(locate, "work_dir"))
    if (auto p = pathText(*v, "locate.work_dir"); !p.empty()) return p;
  const json* method = member(locate, "method");
  if (!method || *method != "legacy_sfm") return "";
  const json* given = member(locate, "specific");
  const json specific = given && given->is_object() ? *given : json::object();
  if (auto p = threadCount(specific, "locate.specific", "sfm.refine.threads"); !p.empty()) return p;
  try {
    sfm::RefinementOptions options;
    sfm::applySpecific(specific, &options);
    options.check();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

// The map tiles of the DOM or the DSM: the terrain stage writes one store for both, 256-pixel
// PNG DOM tiles and 64-pixel TIFF DSM tiles in the XYZ scheme; anything else would be ignored.
std::string checkMapTiling(const json& product, const std::string& name, const json& size,
                           const std::vector<json>& formats) {
  const json* tiling = member(product, "tiling");
  if (!tiling) return "";
  const std::string key = name + ".tiling";
  if (!tiling->is_object()) return problem(key, "must be an object", *tiling);
  if (const json* v = member(*tiling, "location"))
    if (auto p = pathText(*v, key + ".location"); !p.empty()) return p;
  if (const json* v = member(*tiling, "storage"))
    if (auto p = oneOf(*v, key + ".storage", {1, 2}, "must be 1 (tile files) or 2 (MBTiles)");
        !p.empty())
      return p;
  if (const json* v = member(*tiling, "scheme"))
    if (auto p = oneOf(*v, key + ".scheme", {1}, "must be 1 (the XYZ tile scheme, the only one)");
        !p.empty())
      return p;
  if (const json* v = member(*tiling, "tile_size"))
    if (auto p = oneOf(*v, key + ".tile_size", {size},
                       "must be " + size.dump() + " (the only tile size of the " + name + ")");
        !p.empty())
      return p;
  if (const json* v = member(*tiling, "tile_format")) {
    std::string listed;
    for (const json& f : formats) listed += (listed.empty() ? "" : " or ") + f.dump();
    if (auto p = oneOf(*v, key + ".tile_format", formats,
                       "must be " + listed + " (the only format of the " + name + " tiles)");
        !p.empty())
      return p;
  }
  return "";
}

std::string checkMapProduct(const json& task, const std::string& name, const json& size,
                            const std::vector<json>& formats) {
  const json* product = member(task, name.c_str());
  if (!product) return "";
  if (const json* v = member(*product, "scale")) {
    if (auto p = positiveNumber(*v, name + ".scale"); !p.empty()) return p;
    if (name == "dom" && v->get<double>() > terrain_memory::kMaxDomScale) {
      const int most = static_cast<int>(terrain_memory::kMaxDomScale);
      return problem(name + ".scale",
                     "must be at most " + std::to_string(most) + " (the DOM " +
                         std::to_string(int(std::log2(most))) +
                         " zoom levels coarser than the frames)",
                     *v);
    }
  }
  // Only the DOM's zoom cap is read; a coarser cap would leave every frame under a pixel.
  if (const json* v = member(*product, "max_zoom_level"))
    if (auto p = integerIn(*v, name + ".max_zoom_level",
                           name == "dom" ? terrain_memory::kCoarsestMaxZoom : 0, kDeepestZoom);
        !p.empty())
      return p;
  return checkMapTiling(*product, name, size, formats);
}

// Terrain-fusion settings, given flat ("terrainfusion.cache_size") or nested
// ({"terrainfusion": {"cache_size": ...}}), as the node's settings store takes both.
std::string checkTerrainSettings(const json& specific, const std::string& where) {
  if (!specific.is_object()) return "";
  const json* nested = member(specific, "terrainfusion");
  auto setting = [&](const char* name) -> std::pair<const json*, std::string> {
    const std::string flat = std::string("terrainfusion.") + name;
    if (const json* v = member(specific, flat.c_str())) return {v, where + "." + flat};
    if (nested)
      if (const json* v = member(*nested, name)) return {v, where + ".terrainfusion." + name};
    return {nullptr, ""};
  };
  if (auto [v, key] = setting("render_mode"); v)
    if (auto p = oneOf(*v, key, {2, 3}, "must be 2 (DSM stitching) or 3 (blended tiles)");
        !p.empty())
      return p;
  if (auto [v, key] = setting("cache_size"); v)
    if (auto p = integerIn(*v, key, 1, INT32_MAX); !p.empty()) return p;
  return "";
}

// The settings that bound the terrain node's threads and memory, where the node reads them:
// its own "specific", else the environment.
std::string checkTerrainBounds(const json& dense) {
  const json* terrain = member(dense, "legacy_tf");
  const json* given = terrain ? member(*terrain, "specific") : nullptr;
  const json specific = given && given->is_object() ? *given : json::object();
  const std::string where = "dense.legacy_tf.specific";
  if (auto p = threadCount(specific, where, "terrainfusion.threads"); !p.empty()) return p;
  return memoryBudget(specific, where);
}

std::string checkDense(const json& task) {
  const json* dense = member(task, "dense");
  if (!dense) return "";
  if (const json* v = member(*dense, "work_dir"))
    if (auto p = pathText(*v, "dense.work_dir"); !p.empty()) return p;
  if (const json* v = member(*dense, "scale"))
    if (auto p = positiveNumber(*v, "dense.scale"); !p.empty()) return p;
  if (const json* tiling = member(*dense, "tiling")) {
    if (!tiling->is_object()) return problem("dense.tiling", "must be an object", *tiling);
    if (const json* v = member(*tiling, "location"))
      if (auto p = pathText(*v, "dense.tiling.location"); !p.empty()) return p;
    if (const json* v = member(*tiling, "format"))
      if (auto p = oneOf(*v, "dense.tiling.format", {"pnts"},
                         "must be \"pnts\" (the only point-cloud format)");
          !p.empty())
        return p;
  }
  const json* specific = member(*dense, "specific");
  if (specific)
    if (auto p = checkTerrainSettings(*specific, "dense.specific"); !p.empty()) return p;
  if (auto p = threadCount(specific && specific->is_object() ? *specific : json::object(),
                           "dense.specific", "pointsfusion.dense_thread_num");
      !p.empty())
    return p;
  if (const json* terrain = member(*dense, "legacy_tf")) {
    if (!terrain->is_object()) return problem("dense.legacy_tf", "must be an object", *terrain);
    if (const json* terrainSpecific = member(*terrain, "specific"))
      if (auto p = checkTerrainSettings(*terrainSpecific, "dense.legacy_tf.specific"); !p.empty())
        return p;
  }
  return checkTerrainBounds(*dense);
}

}  // namespace

std::string taskSettingsProblem(const json& task, const json& givenTask) {
  if (const json* dataset = member(task, "dataset"))
    if (auto p = checkDataset(*dataset); !p.empty()) return p;
  if (const json* locate = member(task, "locate"))
    if (auto p = checkLocate(*locate); !p.empty()) return p;
  if (auto p = checkDense(task); !p.empty()) return p;
  if (auto p = checkMapProduct(task, "dom", {256, 256}, {"png"}); !p.empty()) return p;
  if (auto p = checkMapProduct(task, "dsm", {64, 64}, {"tif", "tiff"}); !p.empty()) return p;
  // One store keeps the tiles of both products, chosen by the DOM's storage: a DSM storage
  // the task gives must agree with it (the DSM's default gives way to the DOM's).
  auto storageOf = [](const json& doc, const char* product) -> const json* {
    const json* settings = member(doc, product);
    const json* tiling = settings ? member(*settings, "tiling") : nullptr;
    return tiling ? member(*tiling, "storage") : nullptr;
  };
  const json* domStorage = storageOf(task, "dom");
  const json* dsmStorage = storageOf(givenTask, "dsm");
  if (domStorage && dsmStorage && *domStorage != *dsmStorage) {
    return problem("dsm.tiling.storage",
                   "must equal dom.tiling.storage (" + domStorage->dump() +
                       "): one store keeps the tiles of both",
                   *dsmStorage);
  }
  return "";
}
