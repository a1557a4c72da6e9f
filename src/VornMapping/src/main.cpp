#include "error_result.h"
#include "line_queue.h"
#include "malloc_policy.h"
#include "process_guards.h"
#include "status_loop.h"
#include "task_startup.h"
#include "temporary_files.h"
#include "vorn_mapper.h"

#include "tiles/cpu_features.h"

#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

namespace {

// Runs as soon as the libraries are loaded, before their initialisers and the program's own
// (which take tens of milliseconds): a stop signal or a file-size limit in that time must not
// end the process without its final status.
void guardFromTheStart() {
  installStopSignals();
  ignoreBrokenPipes();
  ignoreFileSizeSignal();
}
__attribute__((section(".preinit_array"), used)) void (*const kGuardFirst)() = guardFromTheStart;

}  // namespace

int main(int argc, char** argv) {
  shareOneHeapAcrossThreads();
  keepFreedBlocksForReuse();
  openClosedStandardDescriptors();
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
  mapper->watchStopSignals(stopRequestedBySignal);
  // A stop signal that came before the run stops it before its first frame, so the run
  // cannot finish between start and the status loop's first look at the signal.
  bool stopPassed = false;
  takeStopSignal(*mapper, stopRequestedBySignal, stopPassed);
  mapper->start();  // a failed start shows as state -14 in the first status line
  runStatusLoop(*mapper, *input, std::cerr, std::chrono::milliseconds(500), stopRequestedBySignal,
                stopPassed);
  mapper.reset();
  // Every writer has ended: what an interrupted write left behind goes now.
  removeOwnTemporaryFiles(taskFolders(task));
  return 0;
}
