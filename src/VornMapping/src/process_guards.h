#pragma once

// Guards of the program against the way it is started, called first thing in main.

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no file the
// program opens later (such as the task log) becomes its standard input, output or error.
void openClosedStandardDescriptors();

// A reader that goes away must not kill the program: writes to a closed pipe fail with
// EPIPE instead of raising SIGPIPE, and the failure reason still reaches the task log.
void ignoreBrokenPipes();

// A file-size limit (ulimit -f) must not kill the program either: writes past it fail with
// EFBIG, which the writers report like a full disk, and the run ends with its final status.
void ignoreFileSizeSignal();

// SIGTERM, SIGINT, SIGHUP and SIGQUIT ask the run to stop, as {"abort": true} does; the status
// loop reads the request (`stopRequestedBySignal`) and the run ends orderly with its final
// status line. The signals are unblocked too: a starter that blocked them would otherwise hold
// a stop request back for the whole run.
void installStopSignals();
bool stopRequestedBySignal();
