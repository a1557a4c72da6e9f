#include "src/TerrainFusion/src/terrain_frame_count.h"

#include "framework/run_tally.h"

void TerrainFrameCount::count(const std::string& failure) {
  ++given_;
  if (failure.empty()) {
    fw::RunTally::instance().add(fw::tally::kTerrainFrames);
    return;
  }
  ++failed_;
  fw::RunTally::instance().fail(fw::tally::kTerrainFrames, failure);
}

bool TerrainFrameCount::refuse() {
  count("terrain node not set up");
  return refused_.fetch_add(1) == 0;
}

bool TerrainFrameCount::noneMerged() const {
  const uint64_t given = given_.load();
  return given > 0 && failed_.load() == given;
}
