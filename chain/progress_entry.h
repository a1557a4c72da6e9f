#pragma once

#include <string>
#include <vector>

// One named stage of a task's progress. The completed fraction of a stage is
// progress / total; a parent stage combines its children by their weights.
struct ProgressEntry {
  std::string name;  // an entry without a name never reports progress
  double progress = -1.0;
  double total = 1.0;
  float weight = 1.0f;  // share of this stage in its parent's progress
  float start = 0.0f;   // fraction of the parent at which this stage begins
  double time = -1.0;   // currentTimeSeconds() of the last change, -1.0 before any
  std::vector<ProgressEntry> children;
};

// The progress model of a mapping task: root "Mapping" with the stages "Locate"
// (weight 0.7) and "Map Fusion" (start 0.7, weight 0.3). Built once per process.
const ProgressEntry& taskProgressModel();
