#pragma once

// Whole task runs of a mapping program, for the tests that start one as a child process.

#include "child_process_test_helper.h"

#include "temp_dir.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace vmtest {

struct TaskRun {
  std::vector<int> states;  // of every status line, in order
  ChildResult child;
};

// Runs `program` on the task (given Base64-encoded on its command line) with `input` on its
// standard input, and collects the states of its status lines.
TaskRun runTask(const std::string& program, const nlohmann::json& task,
                const std::string& input = "");

// A task over a list of `frames` small frames written into `dir`, which is also its home;
// `locate`, when not empty, configures the locating stage.
nlohmann::json frameListTask(const TempDir& dir, int frames,
                             const nlohmann::json& locate = nlohmann::json::object());

}  // namespace vmtest
