#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>

// The end times of the frames a node has tiled bound the trimming of its tile cache: once
// more end times are kept than frames run at once, the oldest is a time before which no
// running frame started, and tiles not changed since then can go.

// Appends t (tile clock seconds) to `times`; with more than `history` (at least 1) times kept,
// forgets the oldest and returns it as the bound to evict by.
std::optional<double> takeEvictionBound(std::deque<double>& times, double t, int history);

// The end times of a node's frames, shared by its workers: each records its frame's end and
// learns whether that makes an eviction due. The lock covers the list only, so the eviction
// (which writes tiles to the store) runs after it.
class FrameEndTimes {
 public:
  // takeEvictionBound under the list's lock.
  std::optional<double> record(double t, int history);
  size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::deque<double> times_;
};
