#pragma once

#include "back_end_images.h"
#include "chain/zel_node.h"
#include "in_order_feeder.h"
#include "located_frames.h"
#include "task_log_file.h"
#include "task_log_sink.h"
#include "vorn_mapper.h"

#include "src/utilities/src/dataset.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace fw {
class MapFusion;
class SLAM;
}  // namespace fw

// Runs one mapping task: checks the home folder, writes <home>/log.txt, loads the dataset,
// builds the chain's front end and back end through their factories and feeds the frames to
// the front end on its run thread. It is the root node of the chain: the back end's nodes
// report progress and output records into it, and the front end sends its results through
// `call`, which hands them to the back end in order on a feeding thread while a run lasts. Failures
// never throw: they are logged and leave the mapper in state -14.
class VornMapperImpl : public zel::Chain, public VornMapper {
 public:
  VornMapperImpl(const std::string& task, MapperCallback callback);
  ~VornMapperImpl() override;

  // "frame_located" (a fw::MapFrame) and "map_located" (a fw::Map) from the front end.
  void call(const std::string& command, std::shared_ptr<fw::GObject> argument) override;

  bool start() override;
  void stop() override;
  bool getStatus(MapperStatus& status) override;
  bool pushFrame(const std::string& frame) override;
  void watchStopSignals(bool (*stopRequested)()) override;

  std::int32_t state() const;

 private:
  // The construction steps; false (state -14, reason logged) at the first that fails.
  bool setUp(const std::string& task);
  bool openTaskLog(const std::string& home);
  // False (state -14, each reason logged) when a product location is unsafe or already used.
  bool productsMayBeWritten(const nlohmann::json& task, const std::string& home);
  // `featureImageSide`: the front end's own feature image side, 0 when it names none.
  bool createTaskDataset(const nlohmann::json& dataset, int featureImageSide);
  bool buildChain();
  bool buildChainItem(const nlohmann::json& item);
  // Makes one end of the chain (`role`: "front end" or "back end") with `factory` when `known`
  // says the chain item names one this program has, and keeps it in `end`; false (state -14,
  // the reason logged with the item's `name`) when it names another or the factory fails.
  template <typename End, typename Factory>
  bool createEnd(const char* role, bool known, const std::string& name, std::shared_ptr<End>& end,
                 const Factory& factory);
  void run();
  void feedFrames();
  // Tells both ends how many frames the run has: a live run's frames may exceed the count its
  // task announced, and its input ends with the count it really had.
  void announceFrameCount(int count);
  void waitWhilePaused();
  void releaseEnds();
  // The final state of a run whose ends were released; a failure's reason is logged.
  std::int32_t endState();
  // Logs a stop asked for once every frame had been taken: it stops nothing, the products are
  // completed, and the run is judged by them.
  void noteStopAfterTheLastFrame();
  // Ends the run or the task that could not run: the summary lines in the task log (with
  // "No DOM or DSM tile was written" when a failed run asked for tiles and got none), then the
  // final state with the summary, and a finished run's progress completed.
  void closeRun(std::int32_t state);
  // A copy of the output list.
  std::vector<std::shared_ptr<zel::OutputItem>> outputRecords() const;
  // A record nothing was ever written to ends failed; one still being written ends finished,
  // so the final status tells each product's fate.
  void finishOutputs();
  // Why a run that was not stopped located no frame at all.
  std::string noFrameLocatedReason() const;
  // Ids of the output records that failed, comma-separated; empty when none did.
  std::string failedOutputs() const;
  void setState(std::int32_t state);
  // The final state and the run's summary, set together so one status carries both.
  void setFinalState(std::int32_t state, const std::string& summary);
  void fail(const std::string& message);
  std::shared_ptr<fw::MapFusion> backEnd() const;
  // Runs the job on the feeding thread when a run has one, here otherwise.
  void feedBackEnd(std::function<void()> job);
  void startFeeding();
  // Every result posted so far reaches the back end before this returns.
  void stopFeeding();

  std::shared_ptr<fw::SLAM> frontEnd_;
  std::shared_ptr<fw::MapFusion> backEnd_;
  std::shared_ptr<InOrderFeeder> feeder_;
  mutable std::mutex mutex_;  // guards the state, the summary, the two ends and the feeder
  std::shared_ptr<ImageDataset> dataset_;
  std::thread runThread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> pause_{false};
  // The paused run thread waits on this; stop() wakes it.
  std::mutex pauseMutex_;
  std::condition_variable pauseChanged_;
  std::unique_ptr<LogSink> logSink_;
  TaskLogFile taskLog_;  // also keeps the home folder locked while the mapper lives
  nlohmann::json chain_;
  bool live_ = false;
  bool makesMapTiles_ = false;  // the chain asks for DOM and DSM tiles
  // The input ended with every frame taken and the front end was told so: a stop that comes
  // later stops nothing. Written and read by the run thread only.
  bool inputComplete_ = false;
  std::atomic<bool (*)()> stopSignalled_{nullptr};
  std::atomic<int> framesFed_{0};
  LocatedFrames located_;
  BackEndImages backEndImages_;
  std::string summary_;  // what the run made, once it has ended
};
