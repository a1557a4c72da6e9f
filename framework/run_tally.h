#pragma once

#include <map>
#include <mutex>
#include <string>

namespace fw {

// What one mapping run made and lost, counted by the stages as they go, so that the run can
// end with a summary of its products instead of a bare "finished". One per process: the
// mapper resets it when its run starts. Every operation is safe from any thread.
class RunTally {
 public:
  static RunTally& instance();

  void reset();
  // Adds n to a named count (one of the names below).
  void add(const std::string& name, long long n = 1);
  // Counts n failures of `what` (a count's name, say "depth maps") under a short reason
  // that groups alike failures ("too few valid pixels"), not a message with figures in it.
  void fail(const std::string& what, const std::string& reason, long long n = 1);

  long long count(const std::string& name) const;
  long long failures(const std::string& what) const;
  // One line: every count in the order of the names below, then each failure count with its
  // reasons, e.g. "frames read 16, located 16, ...; depth maps failed 3 (no overlap 2, ...)".
  std::string summary() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, long long> counts_;
  std::map<std::string, std::map<std::string, long long>> failures_;
};

// The counts the stages keep; the summary lists them in this order.
namespace tally {
inline constexpr char kFramesRead[] = "frames read";
inline constexpr char kFramesLocated[] = "frames located";
inline constexpr char kFramesRefined[] = "frames refined";
inline constexpr char kDepthMaps[] = "depth maps";
inline constexpr char kPoints[] = "points";
inline constexpr char kPointCloudFrames[] = "frames in the point cloud";
inline constexpr char kTerrainFrames[] = "frames in the DOM/DSM";
inline constexpr char kDomTiles[] = "DOM tiles";
inline constexpr char kDsmTiles[] = "DSM tiles";
}  // namespace tally

}  // namespace fw
