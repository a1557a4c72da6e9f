#include "frame_accounting.h"

#include <string>

namespace {

constexpr char kLost[] = "lost without a reason";

// Counts the frames of `what` that `expected` says should be there and are not.
void countGap(fw::RunTally& tally, const char* what, long long expected, const char* since,
              std::vector<std::string>& gaps) {
  const long long missing = expected - tally.count(what) - tally.failures(what);
  if (missing <= 0) return;
  tally.fail(what, kLost, missing);
  gaps.push_back(std::to_string(missing) + " of the " + std::to_string(expected) + " frames " +
                 since + " were neither counted in \"" + what + "\" nor as failed there");
}

}  // namespace

std::vector<std::string> countUnaccountedFrames(fw::RunTally& tally, long long framesFed,
                                                bool makesMapTiles) {
  std::vector<std::string> gaps;
  countGap(tally, fw::tally::kFramesLocated, framesFed, "given to the front end", gaps);
  if (makesMapTiles) {
    countGap(tally, fw::tally::kTerrainFrames, tally.count(fw::tally::kFramesLocated), "located",
             gaps);
  }
  return gaps;
}
