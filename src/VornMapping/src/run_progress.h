#pragma once

#include "chain/progress_entry.h"

// How a task's progress is shown: the stages report what they have handed on, which reaches
// its total before the last frame's products are flushed, and a live run's stages count
// against the frame count its task announced, which the frames pushed may exceed or fall
// short of. The mapper shows the figure through these rules, so that a running task never
// shows 1.0 and a finished one always ends there.

// The largest progress a task shows before it has ended.
inline constexpr double kProgressBeforeTheEnd = 0.99;

// `entry` as shown while the task runs: its completed fraction, at most kProgressBeforeTheEnd.
ProgressEntry progressWhileRunning(ProgressEntry entry);

// `entry` with every stage complete (each progress at its total), as a finished task shows it.
ProgressEntry progressCompleted(ProgressEntry entry);
