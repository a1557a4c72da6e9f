#include "error_result.h"
#include "line_queue.h"
#include "malloc_policy.h"
#include "process_guards.h"
#include "status_loop.h"
#include "task_startup.h"
#include "vorn_mapper.h"

#include "tiles/cpu_features.h"

#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

int main(int argc, char** argv) {
  shareOneHeapAcrossThreads();
  openClosedStandardDescriptors();
  ignoreBrokenPipes();
  installStopSignals();
  // Chosen once, before any thread uses the checksums.
  detectCpuFeatures();

  nlohmann::json task;
  try {
    task = prepareTask(parseArguments(argc, argv), std::cout);
  } catch (const StartupError& error) {
    printResultAndExit(0, error.result());
  }

  // The reader may stay blocked on the input after the run; it shares the queue, so
  // it is detached and the process ends without waiting for it.
  auto input = std::make_shared<LineQueue>();
  std::thread([input] { readInputLines(STDIN_FILENO, *input); }).detach();

  auto mapper = createVornMapper(task.dump(), MapperCallback());
  mapper->start();  // a failed start shows as state -14 in the first status line
  runStatusLoop(*mapper, *input, std::cerr, std::chrono::milliseconds(500), stopRequestedBySignal);
  mapper.reset();
  return 0;
}
