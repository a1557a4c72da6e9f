#pragma once

#include <memory>
#include <string>

namespace fw {
class MapFusion;
class SLAM;
}  // namespace fw

namespace zel {
class Chain;
}  // namespace zel

// Factories of the chain's two ends, called by the mapper when it builds the chain. Each takes
// the chain item's "config" object as compact JSON text, the mapper (the chain that receives
// the end's commands "frame_located" and "map_located"), the process-wide messenger
// (fw::Messenger*) and the process-wide log sink holder (std::shared_ptr<fw::LogSinkSet>*).
// A factory returns an empty pointer, or throws, when it cannot create its end; the mapper
// then fails the task with the reason in its log.

// The front end "legacy_sfm": locates the frames it is fed.
std::shared_ptr<fw::SLAM> createSfmInstance(const std::string& config, zel::Chain* chain,
                                            void* messenger, void* logSinks);

// The back end "legacy_pf": dense fusion of located frames and maps.
std::shared_ptr<fw::MapFusion> createPointsFusionInstance(const std::string& config,
                                                          zel::Chain* chain, void* messenger,
                                                          void* logSinks);
