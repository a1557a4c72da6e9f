#include "input_commands.h"

#include "framework/bounded_json.h"

#include <nlohmann/json.hpp>

void handleInputLine(const std::string& line, VornMapper& mapper) {
  try {
    // Held to the documents' depth as it is read: a line of nested brackets under the line
    // cap would otherwise take gigabytes.
    const auto command = fw::parseBoundedJson(line);
    if (!command.is_object()) return;
    const auto frame = command.find("frame");
    if (frame != command.end() && frame->is_string()) {
      // Not live: the dataset drops the frame, nothing to report.
      mapper.pushFrame(frame->get<std::string>());
      return;
    }
    const auto abort = command.find("abort");
    if (abort != command.end() && abort->is_boolean() && abort->get<bool>()) mapper.stop();
  } catch (const std::exception&) {
    // A line that is not a command, or that the mapper refuses, is dropped.
  }
}
