#pragma once

#include "chain/output_item.h"
#include "chain/progress_entry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What the entry point knows of a running task; filled by VornMapper::getStatus.
struct MapperStatus {
  std::int32_t state = 101;  // no status from the mapper yet
  // Time 0.0 so that any progress the mapper stamps counts as newer.
  ProgressEntry progress{"Mapping", -1.0, 1.0, 1.0f, 0.0f, 0.0, {}};
  std::vector<std::shared_ptr<zel::OutputItem>> outputs;
  // What the run made and lost (frames, depth maps, points, tiles, failures by reason); set
  // with the final state of a run, empty before.
  std::string summary;
};

// Mapper states; 12, 13 and -14 are final.
constexpr std::int32_t kMapperReady = 100;
constexpr std::int32_t kMapperRunning = 4;
constexpr std::int32_t kMapperPaused = 6;
constexpr std::int32_t kMapperFinished = 12;
constexpr std::int32_t kMapperStopped = 13;
constexpr std::int32_t kMapperFailed = -14;

inline bool isFinalMapperState(std::int32_t state) {
  return state == kMapperFinished || state == kMapperStopped || state == kMapperFailed;
}

// The mapper that runs one task, as the entry point drives it.
class VornMapper {
 public:
  // Builds the chain and starts the run thread; false when the task cannot run.
  virtual bool start() = 0;
  // Asks the run to end after the current frame (the "abort" command); state 13.
  virtual void stop() = 0;
  // Copies what changed into the status; true when anything changed.
  virtual bool getStatus(MapperStatus& status) = 0;
  // Hands one frame document to a live dataset; an empty text ends it.
  virtual bool pushFrame(const std::string& frame) = 0;
  // Lets the run see a stop signal that the status loop has not passed on yet: one that
  // comes while the run completes its products is then logged before the task log closes.
  virtual void watchStopSignals(bool (*stopRequested)()) { (void)stopRequested; }

 protected:
  // Deleted only through the deleter of the pointer createVornMapper returns.
  ~VornMapper() = default;
};

using MapperCallback = std::function<void(const std::string&)>;

// Creates the mapper from the rebuilt task (compact JSON text). A task that cannot
// run gives a mapper in state -14, never an exception. The callback is not used.
std::shared_ptr<VornMapper> createVornMapper(const std::string& task, MapperCallback callback);
