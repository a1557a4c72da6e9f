#pragma once

#include <memory>
#include <set>
#include <string>

namespace fw {
class MapFusion;
class Messenger;
class SLAM;
class LogSink;
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

// The terrain-fusion product node "legacy_tf", built by the back end's frame handler. It
// takes the "legacy_tf" object as JSON text (emptied afterwards), the chain node the terrain
// node reports to, and the host's messenger and log-sink set (either may be null; when both
// are given they become this module's). On success `node` holds the node; it stays empty, or
// the factory throws, when the node cannot be built.
void createTerrainFusionInstance(std::shared_ptr<fw::MapFusion>& node, std::string config,
                                 zel::Chain* chain, fw::Messenger* messenger,
                                 std::shared_ptr<std::set<fw::LogSink*>> logSinks);
