#include "task_startup.h"

#include "base64_decode.h"
#include "chain_config.h"
#include "error_result.h"
#include "task_settings.h"

#include "framework/bounded_json.h"
#include "framework/printable_text.h"
#include "src/TerrainFusion/src/terrain_memory.h"

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

// Writes the line that goes before an error result and throws the error.
[[noreturn]] void fail(std::ostream& out, const std::string& line, int code,
                       const std::string& message) {
  out << line << '\n';
  out.flush();
  throw StartupError(code, message);
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
  const std::filesystem::path home = task["home"].get<std::string>();
  const std::filesystem::path cache = home / ".cache";
  if (!task.contains("dataset") || !task["dataset"].is_object())
    fail(out, "No dataset", -6, "No dataset");

  const nlohmann::json given = task;
  nlohmann::json rebuilt = rebuildTask(task, home, cache, out);
  // Settings the run could not honour are refused now, before any file is touched. A home
  // with a NUL byte is refused by the mapper, with the reason in its status; the product
  // locations derived from it would otherwise be refused here first.
  const std::string problem =
      fw::hasNulByte(home.string()) ? std::string() : taskSettingsProblem(task, given);
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
