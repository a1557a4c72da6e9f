#pragma once

#include <nlohmann/json.hpp>

#include <ostream>
#include <string>

// The two command-line texts, still Base64-encoded; empty when not given.
struct CommandLine {
  std::string program;
  std::string task;
  std::string config;
};

// Reads "--task <task>" and "--config <config>" from the (name, value) pairs after the
// program name; other names are skipped with their value, a later pair overwrites an
// earlier one, and a name without a value after it counts as not given.
CommandLine parseArguments(int argc, const char* const* argv);

// A home named through a symbolic link (at the folder or above it) is resolved once, at the
// start, to its real folder: the task's "home" becomes that folder's path, and the folders the
// task names inside the home folder are moved with it. Every file the run writes then lies on
// a path without links (files are never written through one). A home that does not exist is
// left as it is.
void resolveHome(nlohmann::json& task, std::ostream& out);

// Decodes and validates the task and configuration and rebuilds the task's chain,
// writing the progress of each step to `out`. Both are required; each must be standard
// Base64 of a JSON document nested no deeper than the documents' limit. Returns the rebuilt
// task; a fatal input error throws StartupError with its code (-1 to -8), and a text that is
// not standard Base64 gives -2 or -3 with the reason after the message.
nlohmann::json prepareTask(const CommandLine& args, std::ostream& out);
