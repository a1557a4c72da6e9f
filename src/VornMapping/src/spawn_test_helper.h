#pragma once

// Starts a program as a child with control over its start-up conditions, for the tests of
// the program's own guards.

#include "child_process_test_helper.h"

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace vmtest {

struct SpawnOptions {
  std::vector<std::string> args;
  std::string stdinPath = "/dev/null";  // the child's standard input
  std::vector<int> closedDescriptors;   // of 0, 1, 2: closed in the child before it starts
  long stackLimitBytes = 0;             // the child's stack size limit when not 0
  long fileSizeLimitBytes = 0;          // the child's file size limit (ulimit -f) when not 0
  // Sent to the child at once, before its program runs: it stays pending (blocked in the
  // child from its start) until the program unblocks it, however early that is.
  int signalAtStart = 0;
  // Called with each line of the child's standard error as it arrives; returning false
  // closes the reading end (the child's later writes meet a broken pipe).
  std::function<bool(pid_t, const std::string&)> onErrorLine;
  int timeoutSeconds = 60;
};

ChildResult spawnChild(const std::string& program, const SpawnOptions& options);

// A run of the program on a task: its status lines (parsed) and the child's whole output.
struct ProgramRun {
  std::vector<nlohmann::json> statusLines;
  ChildResult child;
  std::vector<int> states() const;
};

ProgramRun runProgram(const char* program, const nlohmann::json& task, SpawnOptions options = {});

}  // namespace vmtest
