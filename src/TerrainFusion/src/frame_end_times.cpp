#include "src/TerrainFusion/src/frame_end_times.h"

#include <algorithm>

std::optional<double> takeEvictionBound(std::deque<double>& times, double t, int history) {
  times.push_back(t);
  if (times.size() <= static_cast<size_t>(std::max(history, 1))) return std::nullopt;
  const double oldest = times.front();
  times.pop_front();
  return oldest;
}

std::optional<double> FrameEndTimes::record(double t, int history) {
  std::lock_guard<std::mutex> lock(mutex_);
  return takeEvictionBound(times_, t, history);
}

size_t FrameEndTimes::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return times_.size();
}
