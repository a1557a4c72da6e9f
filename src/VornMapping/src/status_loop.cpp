#include "status_loop.h"

#include "input_commands.h"
#include "status_line.h"

#include "framework/log.h"

#include <string>

namespace {

// Hands every queued line to the mapper; the end of the input, once, ends a live dataset.
void takeQueuedLines(LineQueue& input, VornMapper& mapper, bool& input_end_passed) {
  std::string line;
  for (;;) {
    const LineQueue::Take taken = input.take(line);
    if (taken == LineQueue::Take::kLine) {
      handleInputLine(line, mapper);
      continue;
    }
    if (taken == LineQueue::Take::kEnded && !input_end_passed) {
      input_end_passed = true;
      try {
        mapper.pushFrame("");
      } catch (const std::exception&) {
      }
    }
    return;
  }
}

}  // namespace

void takeStopSignal(VornMapper& mapper, bool (*stopRequested)(), bool& passed) {
  if (passed || !stopRequested || !stopRequested()) return;
  passed = true;
  FW_LOG(fw::kLogInfo) << "Stop requested by a signal.";
  mapper.stop();
}

void runStatusLoop(VornMapper& mapper, LineQueue& input, std::ostream& err,
                   std::chrono::milliseconds interval, bool (*stopRequested)(), bool stopPassed) {
  MapperStatus status;
  bool input_end_passed = false;
  for (;;) {
    const auto nextTurn = std::chrono::steady_clock::now() + interval;
    if (mapper.getStatus(status)) {
      // One write per line, so log lines of other threads never split it.
      err << statusLine(status) + '\n';
      err.flush();
    }
    // Looked at before the final state ends the loop, so a signal is logged even when the
    // run ended at the same moment.
    takeStopSignal(mapper, stopRequested, stopPassed);
    if (isFinalMapperState(status.state)) break;

    // Commands are taken as they arrive; the status is asked for once per interval.
    do {
      takeQueuedLines(input, mapper, input_end_passed);
    } while (input.waitForLine(nextTurn));
  }
}
