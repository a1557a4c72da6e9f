// Hostile input from the controlling application: Base64 text, task documents and
// standard-input lines. Nothing may crash or throw past the shell's own handling.
#include "base64_decode.h"
#include "chain_config.h"
#include "error_result.h"
#include "input_commands.h"
#include "task_settings.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

namespace {

class IgnoringMapper final : public VornMapper {
 public:
  bool start() override { return true; }
  void stop() override {}
  bool getStatus(MapperStatus&) override { return false; }
  bool pushFrame(const std::string&) override { return false; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string bytes, problem;
  decodeBase64(text, bytes, problem);

  IgnoringMapper mapper;
  handleInputLine(text, mapper);

  nlohmann::json task = nlohmann::json::parse(text, nullptr, false);
  if (task.is_discarded() || !task.is_object()) return 0;
  task["home"] = "/home/task";
  if (!task.contains("dataset") || !task["dataset"].is_object())
    task["dataset"] = nlohmann::json::object();
  const nlohmann::json given = task;
  std::ostringstream out;
  try {
    rebuildTask(task, "/home/task", "/home/task/.cache", out);
    // Every setting of any type and value is either accepted or refused with a message.
    taskSettingsProblem(task, given);
  } catch (const StartupError&) {
    // Unsupported methods are reported as error results.
  }
  return 0;
}
