#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_set>
#include <vector>

// The frames the front end located during one run, each counted once whether it came alone
// ("frame_located") or again inside a map ("map_located"). Every newly located frame is added
// to the run's tally. Safe from any thread.
class LocatedFrames {
 public:
  void reset();
  // Notes the frames by identifier; returns how many were not located before.
  int note(const std::vector<std::uint64_t>& ids);
  int count() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_set<std::uint64_t> ids_;
};
