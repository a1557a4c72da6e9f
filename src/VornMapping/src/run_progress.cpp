#include "run_progress.h"

#include <utility>

ProgressEntry progressWhileRunning(ProgressEntry entry) {
  if (entry.total > 0.0 && entry.progress / entry.total > kProgressBeforeTheEnd)
    entry.progress = kProgressBeforeTheEnd * entry.total;
  return entry;
}

ProgressEntry progressCompleted(ProgressEntry entry) {
  // A stage that never learnt its total (a live run without a frame count) counts as one.
  if (!(entry.total > 0.0)) entry.total = 1.0;
  entry.progress = entry.total;
  for (ProgressEntry& child : entry.children) child = progressCompleted(std::move(child));
  return entry;
}
