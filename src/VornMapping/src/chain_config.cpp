#include "chain_config.h"

#include "chain_defaults.h"
#include "error_result.h"

#include "framework/printable_text.h"
#include "src/sfm/src/refinement_options.h"

#include <stdexcept>
#include <string>

namespace {

using nlohmann::json;

json chainItem(const std::string& name, const char* type, const std::filesystem::path& work_dir) {
  return json{{"name", name}, {"type", type}, {"config", {{"work_dir", work_dir.string()}}}};
}

bool hasMethod(const json& settings, const char* name) {
  const auto method = settings.find("method");
  return method != settings.end() && method->is_string() && *method == name;
}

// The method for an error message: its text, or its JSON when it is not a text. A text with
// control bytes (a NUL would end it in any C string) is shown whole, quoted and escaped.
std::string methodOf(const json& settings) {
  const auto method = settings.find("method");
  if (method == settings.end()) return "";
  return method->is_string() ? fw::printableText(method->get<std::string>()) : method->dump();
}

json locateItem(const json& locate, const std::filesystem::path& cache) {
  json item;
  if (hasMethod(locate, "legacy_sfm")) {
    item = chainItem("legacy_sfm", "front_end", cache / "sfm");
    deepMerge(item["config"], chain_defaults::sfmNode());
  } else if (hasMethod(locate, "zel_slam3")) {
    item = chainItem("zel_slam3", "front_end", cache / "slam");
    deepMerge(item["config"], chain_defaults::slamNode());
  } else {
    throw StartupError(-7, "Unsupported locate method" + methodOf(locate));
  }
  deepMerge(item["config"], locate);
  return item;
}

json denseItem(const json& dense, const json& terrain_fusion, const std::filesystem::path& cache) {
  json item;
  if (hasMethod(dense, "legacy_pf")) {
    item = chainItem("legacy_pf", "back_end", cache / "pf");
    deepMerge(item["config"], chain_defaults::pointFusionNode());
    deepMerge(item["config"], dense);
    item["config"]["legacy_tf"] = terrain_fusion;
  } else if (hasMethod(dense, "zel_pixfuse")) {
    item = chainItem("zel_pixfuse", "back_end", cache / "pixfuse");
    deepMerge(item["config"], chain_defaults::pixelFusionNode());
    deepMerge(item["config"], dense);
    item["config"]["legacy_tf"] = terrain_fusion;
    item["config"]["legacy_tf"]["specific"]["terrainfusion.render_mode"] = 2;
  } else {
    throw StartupError(-8, "Unsupported dense method" + methodOf(dense));
  }
  return item;
}

// A product setting that is an object is merged over its default; anything else
// is replaced by the default.
void completeProduct(json& task, const char* key, const json& defaults) {
  json completed = defaults;
  if (task.contains(key) && task[key].is_object()) deepMerge(completed, task[key]);
  task[key] = std::move(completed);
}

}  // namespace

json rebuildTask(json& task, const std::filesystem::path& home, const std::filesystem::path& cache,
                 std::ostream& out) {
  json rebuilt = {{"home", task["home"]},
                  {"verbose", {{"level", "debug"}, {"file", true}, {"console", false}}},
                  {"dataset", task["dataset"]},
                  {"chain", json::array()}};

  if (!task.contains("locate") || !task["locate"].is_object())
    task["locate"] = chain_defaults::locate();
  out << "locate: " << task["locate"].dump() << '\n';
  json locate = locateItem(task["locate"], cache);
  rebuilt["chain"].push_back(locate);
  out << "locate: " << locate.dump() << '\n';

  completeProduct(task, "dense", chain_defaults::dense());
  completeProduct(task, "dom", chain_defaults::dom());
  completeProduct(task, "dsm", chain_defaults::dsm());

  // Products land directly under the home folder unless the task names a place.
  for (const char* key : {"dense", "dom", "dsm"}) {
    const auto tiling = task[key].find("tiling");
    if (tiling == task[key].end() || !tiling->is_object()) continue;
    const auto location = tiling->find("location");
    if (location == tiling->end() || !location->is_string())
      (*tiling)["location"] = (home / key).string();
  }

  json terrain_fusion = chain_defaults::terrainFusion();
  // Terrain-fusion settings the task gives with the dense settings are honoured, over the
  // defaults; the products' own settings and the working folder are set below.
  const auto given = task["dense"].find("legacy_tf");
  if (given != task["dense"].end() && given->is_object()) deepMerge(terrain_fusion, *given);
  terrain_fusion["dom"] = task["dom"];
  terrain_fusion["dsm"] = task["dsm"];
  terrain_fusion["work_dir"] = (cache / "tf").string();

  json dense = denseItem(task["dense"], terrain_fusion, cache);
  rebuilt["chain"].push_back(dense);
  out << "dense: " << dense.dump() << '\n';

  out << "Finished chain config: " << rebuilt.dump() << '\n';
  out.flush();
  return rebuilt;
}

int frontEndFeatureImageSide(const json& chain) {
  if (!chain.is_array()) return 0;
  for (const json& item : chain) {
    if (!item.is_object() || item.value("type", json()) != "front_end") continue;
    const json* config = item.contains("config") ? &item["config"] : nullptr;
    const json* specific = config && config->is_object() && config->contains("specific")
                               ? &(*config)["specific"]
                               : nullptr;
    // Read as the front end reads it (createSfmInstance), so the two never differ.
    sfm::RefinementOptions options;
    try {
      if (specific) sfm::applySpecific(*specific, &options);
    } catch (const std::invalid_argument&) {
      return 0;  // the front end refuses the setting; the task does not run
    }
    return options.image_long_side > 0 ? options.image_long_side : 0;
  }
  return 0;
}
