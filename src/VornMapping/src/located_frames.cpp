#include "located_frames.h"

#include "framework/run_tally.h"

void LocatedFrames::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  ids_.clear();
}

int LocatedFrames::note(const std::vector<std::uint64_t>& ids) {
  int added = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::uint64_t id : ids) added += ids_.insert(id).second ? 1 : 0;
  }
  if (added > 0) fw::RunTally::instance().add(fw::tally::kFramesLocated, added);
  return added;
}

int LocatedFrames::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(ids_.size());
}
