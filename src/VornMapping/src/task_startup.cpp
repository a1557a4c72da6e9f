#include "task_startup.h"

#include "base64_decode.h"
#include "chain_config.h"
#include "error_result.h"
#include "task_settings.h"

#include "chain/terrain_memory.h"
#include "framework/bounded_json.h"
#include "framework/printable_text.h"

#include <filesystem>
#include <stdexcept>

CommandLine parseArguments(int argc, const char* const* argv) {
  CommandLine args;
  if (argc > 0 && argv[0] != nullptr) args.program = argv[0];
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--task") {
      args.task = argv[i + 1];
    } else if (name == "--config") {
      args.config = argv[i + 1];
    }
  }
  return args;
}

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Writes the line that goes before an error result and throws the error.
[[noreturn]] void fail(std::ostream& out, const std::string& line, int code,
                       const std::string& message) {
  out << line << '\n';
  out.flush();
  throw StartupError(code, message);
}

// The path given under the home folder as it lies under the real folder; other paths as they
// are.
void rebase(json& path, const fs::path& given, const fs::path& real) {
  if (!path.is_string()) return;
  const fs::path relative = fs::path(path.get<std::string>()).lexically_relative(given);
  if (relative.empty() || *relative.begin() == "..") return;
  path = (real / relative).lexically_normal().string();
}

// The decoded text of one argument; an error result with the reason when it is not standard
// Base64 or decodes to nothing.
std::string decodeArgument(const std::string& text, std::ostream& out, const std::string& line,
                           int code, const std::string& message) {
  std::string bytes;
  std::string problem;
  if (!decodeBase64(text, bytes, problem)) {
    fail(out, line + ": " + problem, code, message + ": " + problem);
  }
  if (bytes.empty()) fail(out, line, code, message);
  return bytes;
}

}  // namespace

void resolveHome(json& task, std::ostream& out) {
  const fs::path given = task["home"].get<std::string>();
  std::error_code error;
  const fs::path real = fs::canonical(given, error);
  // A home that does not exist is refused by the mapper, with the reason in its status.
  if (error || real == given) return;
  task["home"] = real.string();
  // Folders the task names inside the home folder move with it.
  for (const char* product : {"dense", "dom", "dsm", "locate"}) {
    const auto settings = task.find(product);
    if (settings == task.end() || !settings->is_object()) continue;
    if (settings->contains("work_dir")) rebase((*settings)["work_dir"], given, real);
    const auto tiling = settings->find("tiling");
    if (tiling != settings->end() && tiling->is_object() && tiling->contains("location"))
      rebase((*tiling)["location"], given, real);
  }
  out << "home: " << given.string() << " is the folder " << real.string() << '\n';
}

nlohmann::json prepareTask(const CommandLine& args, std::ostream& out) {
  // Both documents are part of the contract: a run started without one is refused, not
  // guessed at.
  if (args.task.empty() || args.config.empty()) {
    fail(out, "Usage: " + args.program + " --task <task> --config <config>", -1,
         "Invalid arguments");
  }
  const std::string task_text =
      decodeArgument(args.task, out, "Invalid task", -2, "Invalid task string");
  const std::string config_text =
      decodeArgument(args.config, out, "Invalid config", -3, "Invalid config string");

  nlohmann::json task;
  try {
    out << "task string: " << task_text << '\n';
    task = fw::parseBoundedJson(task_text);
    out << "config string: " << config_text << '\n';
    // The configuration is only checked; the chain's settings come from the task.
    fw::parseBoundedJson(config_text);
  } catch (const std::exception&) {
    fail(out, "Invalid task or config format", -4, "Invalid task or config format");
  }
  out << task.dump() << '\n';

  if (!task.is_object() || !task.contains("home") || !task["home"].is_string()) {
    fail(out, "No home", -5, "No home");
  }
  if (fw::hasNulByte(task["home"].get<std::string>())) {
    // A C string would end at the NUL: the folder checked would not be the one named.
    const std::string problem = "home must not hold a NUL byte, not " +
                                task["home"].dump(-1, ' ', false, json::error_handler_t::replace);
    fail(out, "Invalid task or config format: " + problem, -4,
         "Invalid task or config format: " + problem);
  }
  if (!task.contains("dataset") || !task["dataset"].is_object())
    fail(out, "No dataset", -6, "No dataset");
  resolveHome(task, out);
  const std::filesystem::path home = task["home"].get<std::string>();
  const std::filesystem::path cache = home / ".cache";

  const nlohmann::json given = task;
  nlohmann::json rebuilt = rebuildTask(task, home, cache, out);
  // Settings the run could not honour are refused now, before any file is touched.
  const std::string problem = taskSettingsProblem(task, given);
  if (!problem.empty()) {
    fail(out, "Invalid task or config format: " + problem, -4,
         "Invalid task or config format: " + problem);
  }
  // Terrain settings whose rasters could never fit the memory budget (a DOM scale of 1e-6
  // asks for zoom 26) are refused before anything is allocated.
  for (const auto& item : rebuilt["chain"]) {
    const auto config = item.find("config");
    if (config == item.end() || !config->is_object() || !config->contains("legacy_tf")) continue;
    const std::string terrain = terrainSettingsError((*config)["legacy_tf"].dump());
    if (!terrain.empty()) {
      fail(out, "Invalid task or config format: " + terrain, -4,
           "Invalid task or config format: " + terrain);
    }
  }
  return rebuilt;
}
