#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// The frames given to the terrain node and how each ended: for the run's summary (the
// process-wide run tally) and for the node's own end, which fails its records when no frame
// reached the tiles.
class TerrainFrameCount {
 public:
  // One frame given: merged into the tiles when `failure` is empty, else failed for it.
  void count(const std::string& failure);
  // One input refused because the node was not set up, counted as a failed frame; true for
  // the first refusal, the one worth logging.
  bool refuse();

  uint64_t given() const { return given_.load(); }
  uint64_t failed() const { return failed_.load(); }
  uint64_t refused() const { return refused_.load(); }
  // Frames were given and every one of them failed.
  bool noneMerged() const;

 private:
  std::atomic<uint64_t> given_{0};
  std::atomic<uint64_t> failed_{0};
  std::atomic<uint64_t> refused_{0};
};
