#pragma once

#include "framework/run_tally.h"

#include <string>
#include <vector>

// The stages count every frame they pass on or lose. A frame that went missing between them
// without being counted would leave the run's summary short of it: at the end of a run that
// took its whole input, each such gap is counted as "lost without a reason", and described
// for the task log, so that the summary accounts for every frame fed.
//
// `framesFed`: the frames handed to the front end; `makesMapTiles`: the chain makes DOM and
// DSM tiles, so every located frame should have reached terrain fusion or be counted there.
std::vector<std::string> countUnaccountedFrames(fw::RunTally& tally, long long framesFed,
                                                bool makesMapTiles);
