#pragma once

#include "line_queue.h"
#include "vorn_mapper.h"

#include <chrono>
#include <ostream>

// The entry point's loop: every `interval` asks the mapper for its status, writes a
// status line to `err` when anything changed, ends after the line carrying a final
// state (12, 13, -14), and otherwise hands the queued input lines to the mapper. The
// end of the input ends a live dataset, as an empty frame text would. When `stopRequested`
// is given and says so (a stop signal arrived), the run is stopped as by {"abort": true}.
// `stopPassed`: the signal was already taken (by takeStopSignal before the run started).
void runStatusLoop(VornMapper& mapper, LineQueue& input, std::ostream& err,
                   std::chrono::milliseconds interval = std::chrono::milliseconds(500),
                   bool (*stopRequested)() = nullptr, bool stopPassed = false);

// When `stopRequested` says a stop signal arrived and `passed` is false: logs it, stops the
// mapper and sets `passed`. The entry point takes a signal that came during start-up before
// the run starts, so that the run stops before its first frame and its log says so before the
// run's own last line.
void takeStopSignal(VornMapper& mapper, bool (*stopRequested)(), bool& passed);
