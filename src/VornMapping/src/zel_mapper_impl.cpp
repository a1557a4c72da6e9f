#include "zel_mapper_impl.h"

#include "address_space.h"
#include "chain_config.h"
#include "frame_accounting.h"
#include "product_guard.h"
#include "run_outcome.h"
#include "run_progress.h"

#include "chain/chain_factories.h"
#include "chain/current_time.h"

#include "framework/log.h"
#include "framework/map_fusion.h"
#include "framework/messenger.h"
#include "framework/printable_text.h"
#include "framework/run_tally.h"
#include "framework/slam.h"
#include "tiles/cpu_features.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <utility>

namespace {

using nlohmann::json;

constexpr auto kPauseStep = std::chrono::milliseconds(500);
// Located results that may wait for the back end: enough to ride out a burst from the front
// end's refinement window; they carry no pixels, so waiting costs little memory.
constexpr size_t kFeedQueue = 8;

// The checksum paths the process chose at start, as the task log records them.
std::string checksumPaths() {
  return std::string("Checksum paths: CRC-32 ") +
         (crcUsesCarrylessMultiply() ? "carry-less multiply" : "table") + ", Adler-32 " +
         (adlerUsesVectorLoop() ? "vector" : "scalar") + "\n";
}

// True when two progress trees report the same figures (names, progress, totals).
bool sameProgress(const ProgressEntry& a, const ProgressEntry& b) {
  if (a.name != b.name || a.progress != b.progress || a.total != b.total ||
      a.children.size() != b.children.size()) {
    return false;
  }
  for (size_t i = 0; i < a.children.size(); ++i) {
    if (!sameProgress(a.children[i], b.children[i])) return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<VornMapper> createVornMapper(const std::string& task, MapperCallback callback) {
  auto* mapper = new VornMapperImpl(task, std::move(callback));
  return std::shared_ptr<VornMapper>(
      mapper, [](VornMapper* base) { delete static_cast<VornMapperImpl*>(base); });
}

VornMapperImpl::VornMapperImpl(const std::string& task, MapperCallback)
    : zel::Chain("Mapper", nullptr), logSink_(std::make_unique<LogSink>()) {
  fw::logSinks()->insert(logSink_.get());
  if (setUp(task)) {
    setProgressEntry(taskProgressModel());
    setState(kMapperReady);
  } else {
    closeRun(kMapperFailed);
  }
}

VornMapperImpl::~VornMapperImpl() {
  if (runThread_.joinable()) runThread_.join();
  // The dataset's loader threads may still log: they end before the sink goes.
  dataset_.reset();
  releaseEnds();
  FW_LOG(fw::kLogInfo) << "VornMapperImpl instance destroyed.";
  fw::logSinks()->erase(logSink_.get());
  logSink_.reset();
}

bool VornMapperImpl::setUp(const std::string& taskText) {
  // The task counts from here on: frames the dataset refuses are part of its summary, and a
  // task that cannot run ends with a summary too.
  fw::RunTally::instance().reset();
  json task = json::parse(taskText, nullptr, false);
  if (task.is_object()) makesMapTiles_ = chainMakesMapTiles(task.value("chain", json()));
  const json* home = task.is_object() && task.contains("home") ? &task["home"] : nullptr;
  if (!home || !home->is_string()) {
    fail("Invalid home folder of task.");
    return false;
  }
  const std::string homePath = home->get<std::string>();
  // A NUL would end the path early: the folder checked would not be the one named.
  if (fw::hasNulByte(homePath)) {
    fail("Invalid home folder of task: " + fw::printableText(homePath));
    return false;
  }
  std::error_code error;
  if (!std::filesystem::is_directory(homePath, error)) {
    fail("Invalid home folder of task: " + homePath);
    return false;
  }
  if (!openTaskLog(homePath)) return false;
  if (const std::string problem = addressSpaceProblem(); !problem.empty()) {
    fail(problem);
    return false;
  }
  if (!productsMayBeWritten(task, homePath)) return false;
  if (!task.contains("dataset") || !task["dataset"].is_object()) {
    fail("Invalid dataset of task.");
    return false;
  }
  // The dataset decodes frames reduced, no coarser than the front end's feature image.
  if (!createTaskDataset(task["dataset"], frontEndFeatureImageSide(task.value("chain", json()))))
    return false;
  if (!task.contains("chain") || !task["chain"].is_array()) {
    fail("Invalid chain of task.");
    return false;
  }
  chain_ = task["chain"];
  return true;
}

bool VornMapperImpl::openTaskLog(const std::string& home) {
  const std::string path = (std::filesystem::path(home) / "log.txt").string();
  std::string reason;
  std::shared_ptr<std::ostream> stream;
  if (taskLog_.open(path, reason) == TaskLogFile::Opened::kYes) stream = taskLog_.stream();
  if (!stream) {
    fail("Failed to open log file: " + path + ": " + reason);
    return false;
  }
  logSink_->setStream(std::move(stream));
  return true;
}

bool VornMapperImpl::productsMayBeWritten(const json& task, const std::string& home) {
  const auto chain = task.find("chain");
  if (chain == task.end()) return true;  // refused below, with its own reason
  const std::vector<std::string> refusals = productRefusals(productPlan(*chain), home);
  if (refusals.empty()) return true;
  for (const std::string& reason : refusals) FW_LOG(fw::kLogError) << reason;
  fail("Refusing the task: the products cannot be written safely (reasons above).");
  return false;
}

bool VornMapperImpl::createTaskDataset(const json& description, int featureImageSide) {
  try {
    dataset_ = createDataset(description, featureImageSide);
  } catch (const std::exception& e) {
    fail(std::string("Failed to create dataset. ") + e.what());
    return false;
  }
  if (!dataset_) {
    fail("Failed to create dataset.");
    return false;
  }
  live_ = dataset_->isLive();
  if (!live_ && dataset_->size() < 6) {
    fail("Insufficient frames for mapping: " + std::to_string(dataset_->size()));
    dataset_.reset();
    return false;
  }
  return true;
}

bool VornMapperImpl::start() {
  if (state() == kMapperFailed || !dataset_) return false;
  // A second start while the run thread exists must not replace it.
  if (runThread_.joinable()) return false;
  if (!buildChain()) {
    closeRun(kMapperFailed);
    return false;
  }
  runThread_ = std::thread(&VornMapperImpl::run, this);
  return true;
}

void VornMapperImpl::stop() {
  {
    std::lock_guard<std::mutex> lock(pauseMutex_);
    stop_.store(true);
  }
  pauseChanged_.notify_all();
  // A live dataset waiting for the next pushed frame wakes up now.
  if (dataset_) dataset_->interrupt();
}

bool VornMapperImpl::buildChain() {
  for (const json& item : chain_) {
    if (!buildChainItem(item)) return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!frontEnd_) {
    state_ = kMapperFailed;
    FW_LOG(fw::kLogError) << "The chain has no front end to locate the frames.";
    return false;
  }
  return true;
}

template <typename End, typename Factory>
bool VornMapperImpl::createEnd(const char* role, bool known, const std::string& name,
                               std::shared_ptr<End>& end, const Factory& factory) {
  std::shared_ptr<End> created;
  try {
    if (known) created = factory();
  } catch (const std::exception& e) {
    fail(std::string("Failed to create ") + role + " process: " + name + " (" + e.what() + ")");
    return false;
  }
  if (!created) {
    fail(std::string("Failed to create ") + role + " process: " + name);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  end = std::move(created);
  return true;
}

bool VornMapperImpl::buildChainItem(const json& item) {
  if (!item.is_object() || !item.contains("name") || !item["name"].is_string() ||
      !item.contains("type") || !item["type"].is_string() || !item.contains("config") ||
      !item["config"].is_object()) {
    fail("Invalid chain item: " + item.dump());
    return false;
  }
  const std::string name = item["name"].get<std::string>();
  const std::string type = item["type"].get<std::string>();
  json configDoc = item["config"];
  // The front end settles a frame list whole before it sends its first frame; frames pushed
  // during a flight must go on as they come.
  if (type == "front_end" && live_) {
    json& specific = configDoc["specific"];
    if (!specific.is_object()) specific = json::object();
    specific["sfm.refine.frames_arrive_live"] = true;
  }
  const std::string config = configDoc.dump();
  void* messenger = &fw::Messenger::instance();
  void* sinks = &fw::logSinks();
  if (type == "front_end") {
    return createEnd("front end", name == "legacy_sfm", name, frontEnd_,
                     [&] { return createSfmInstance(config, this, messenger, sinks); });
  }
  if (type == "back_end") {
    return createEnd("back end", name == "legacy_pf", name, backEnd_,
                     [&] { return createPointsFusionInstance(config, this, messenger, sinks); });
  }
  fail("Invalid chain type: " + type);
  return false;
}

void VornMapperImpl::run() {
  const auto started = std::chrono::steady_clock::now();
  located_.reset();
  setState(kMapperRunning);
  bool broken = false;
  try {
    startFeeding();
    feedFrames();
    releaseEnds();
    FW_LOG(fw::kLogInfo) << "both frontend and backend is reset.";
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "Mapping run failed: " << e.what();
    releaseEnds();
    broken = true;
  }
  finishOutputs();
  // A run that took its whole input accounts for every frame it was given.
  if (!broken && inputComplete_) {
    for (const std::string& gap :
         countUnaccountedFrames(fw::RunTally::instance(), framesFed_.load(), makesMapTiles_))
      FW_LOG(fw::kLogError) << "Frames lost without a reason: " << gap;
  }
  noteStopAfterTheLastFrame();
  // The ends are released: every product is flushed and counted.
  closeRun(broken ? kMapperFailed : endState());
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now() - started);
  // Into the task log only, for the record: the standard error stream carries the status lines.
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const std::string paths = checksumPaths();
  logSink_->write(fw::kLogInfo, __FILE__, "zel_mapper_impl.cpp", __LINE__, &local, paths.c_str(),
                  paths.size());
  FW_LOG(fw::kLogInfo) << "Task processed in " << elapsed.count() / 1e9 << " seconds.";
  logSink_->setStream(nullptr);
}

std::int32_t VornMapperImpl::endState() {
  // A stopped run keeps what it made; it is not judged by it.
  if (stop_.load() && !inputComplete_) return kMapperStopped;
  if (located_.count() == 0) {
    FW_LOG(fw::kLogError) << noFrameLocatedReason();
    return kMapperFailed;
  }
  // Never "finished" with nothing to show for it (closeRun says so).
  if (makesMapTiles_ && !mapTilesWritten(fw::RunTally::instance(), outputRecords()))
    return kMapperFailed;
  // A product that could not be written fails the task: never "finished" over missing tiles.
  const std::string failed = failedOutputs();
  if (!failed.empty()) {
    FW_LOG(fw::kLogError) << "Products not written: " << failed
                          << " (the reasons are in the lines above).";
    return kMapperFailed;
  }
  return kMapperFinished;
}

void VornMapperImpl::noteStopAfterTheLastFrame() {
  if (!inputComplete_) return;
  const auto signalled = stopSignalled_.load();
  if (!stop_.load() && !(signalled && signalled())) return;
  FW_LOG(fw::kLogInfo) << "A stop was asked for after the last frame had been taken: the "
                          "products were completed and the run is judged by them.";
}

void VornMapperImpl::closeRun(std::int32_t state) {
  const std::string summary = fw::RunTally::instance().summary();
  // Whatever ended it: a task that asked for map tiles and got none says so.
  if (state == kMapperFailed && makesMapTiles_ &&
      !mapTilesWritten(fw::RunTally::instance(), outputRecords())) {
    FW_LOG(fw::kLogError) << "No DOM or DSM tile was written: " << summary;
  }
  FW_LOG(fw::kLogInfo) << "Run summary: " << summary;
  if (state == kMapperFinished) {
    ProgressEntry progress = progressCompleted(progressEntry());
    progress.time = currentTimeSeconds();
    setProgressEntry(progress);
  }
  setFinalState(state, summary);
}

std::vector<std::shared_ptr<zel::OutputItem>> VornMapperImpl::outputRecords() const {
  std::vector<std::shared_ptr<zel::OutputItem>> records;
  visitOutputs([&](const std::shared_ptr<zel::OutputItem>& record) { records.push_back(record); });
  return records;
}

void VornMapperImpl::announceFrameCount(int count) {
  std::shared_ptr<fw::SLAM> frontEnd;
  std::shared_ptr<fw::MapFusion> backEnd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frontEnd = frontEnd_;
    backEnd = backEnd_;
  }
  if (frontEnd) frontEnd->setFrameCount(count);
  if (backEnd) backEnd->setExpectedFrames(count);
}

void VornMapperImpl::feedFrames() {
  std::shared_ptr<fw::SLAM> frontEnd;
  std::shared_ptr<fw::MapFusion> backEnd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frontEnd = frontEnd_;
    backEnd = backEnd_;
  }
  // A live dataset reports the frame count its task announced.
  int frameCount = dataset_->size();
  frontEnd->setFrameCount(frameCount);
  if (backEnd) backEnd->setExpectedFrames(frameCount);
  const bool backEndTakesFrames = backEnd != nullptr;
  backEnd.reset();
  while (!stop_.load()) {
    std::shared_ptr<VornMapperFrame> frame = dataset_->next();
    if (!frame) break;
    const int fed = framesFed_.fetch_add(1) + 1;
    // More frames than announced: the stages count against the frames there are. (A run that
    // announced no count shows its progress at the end.)
    if (frameCount > 0 && fed > frameCount) {
      frameCount = fed;
      announceFrameCount(frameCount);
    }
    // Kept before the front end takes the frame: it may locate it before addFrame returns.
    int reduction = 1;
    frame->call("GetImageReduction", &reduction);
    if (backEndTakesFrames) backEndImages_.keep(frame->id, frame->getImage(0, 0), reduction);
    frontEnd->addFrame(frame);
    // The front end has taken the frame; the back end gets the coarser copy when it is located.
    frame->setImage(fw::GImage(), 0);
    if (pause_.load()) waitWhilePaused();
  }
  // Stopped: nothing new is started; releasing the ends flushes what they have made.
  if (!stop_.load()) {
    // The live input has ended: its frames are all there are.
    if (live_ && framesFed_.load() > 0 && framesFed_.load() != frameCount)
      announceFrameCount(framesFed_.load());
    inputComplete_ = true;
    frontEnd->finishInput();
  }
  backEndImages_.clear();
}

void VornMapperImpl::waitWhilePaused() {
  std::unique_lock<std::mutex> lock(pauseMutex_);
  while (pause_.load() && !stop_.load()) {
    if (state() != kMapperPaused) setState(kMapperPaused);
    // Woken at once by stop(); the pause flag is looked at again at least every step.
    pauseChanged_.wait_for(lock, kPauseStep);
  }
  lock.unlock();
  if (state() == kMapperPaused) setState(kMapperRunning);
}

void VornMapperImpl::releaseEnds() {
  std::shared_ptr<fw::SLAM> frontEnd;
  std::shared_ptr<fw::MapFusion> backEnd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frontEnd.swap(frontEnd_);
  }
  // The front end goes first: its last results still reach the back end.
  frontEnd.reset();
  stopFeeding();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    backEnd.swap(backEnd_);
  }
  backEnd.reset();
}

void VornMapperImpl::finishOutputs() {
  std::lock_guard<std::mutex> lock(output_mutex_);
  for (auto& record : outputs_) {
    if (!record) continue;
    if (record->state == zel::kOutputInProgress) {
      record->state = zel::kOutputFinished;
      record->markUpdated();
    } else if (record->state == zel::kOutputNotStarted) {
      record->state = zel::kOutputFailed;
      record->markUpdated();
    }
  }
}

std::string VornMapperImpl::failedOutputs() const {
  std::lock_guard<std::mutex> lock(output_mutex_);
  std::string ids;
  for (const auto& record : outputs_) {
    if (record && record->state == zel::kOutputFailed)
      ids += (ids.empty() ? "" : ", ") + record->id;
  }
  return ids;
}

std::string VornMapperImpl::noFrameLocatedReason() const {
  const int fed = framesFed_.load();
  if (fed > 0) {
    return "No frame was located: the front end located none of the " + std::to_string(fed) +
           " frames it was given.";
  }
  return live_ ? "No frame was located: the live run received no frame."
               : "No frame was located: no image of the frame list could be loaded.";
}

std::shared_ptr<fw::MapFusion> VornMapperImpl::backEnd() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return backEnd_;
}

void VornMapperImpl::startFeeding() {
  auto feeder = std::make_shared<InOrderFeeder>(kFeedQueue, [](const char* reason) {
    FW_LOG(fw::kLogError) << "Failed to feed the back end: " << reason;
  });
  // Logged from the feeding thread itself, so that the task log tells its work apart.
  feeder->post([] { FW_LOG(fw::kLogInfo) << "Feeding located frames to the back end in order."; });
  std::lock_guard<std::mutex> lock(mutex_);
  feeder_ = std::move(feeder);
}

void VornMapperImpl::stopFeeding() {
  std::shared_ptr<InOrderFeeder> feeder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    feeder.swap(feeder_);
  }
  if (feeder) feeder->drain();
}

void VornMapperImpl::feedBackEnd(std::function<void()> job) {
  std::shared_ptr<InOrderFeeder> feeder;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    feeder = feeder_;
  }
  if (feeder) {
    feeder->post(std::move(job));
  } else {
    job();
  }
}

void VornMapperImpl::call(const std::string& command, std::shared_ptr<fw::GObject> argument) {
  if (command == "frame_located") {
    auto frame = std::dynamic_pointer_cast<fw::MapFrame>(argument);
    if (!frame) return;
    located_.note({frame->id});
    std::shared_ptr<fw::MapFusion> fusion = backEnd();
    if (!fusion) {
      frame->setImage(fw::GImage(), 0);
      return;
    }
    backEndImages_.handOver(*frame);
    feedBackEnd([fusion = std::move(fusion), frame = std::move(frame)] {
      try {
        fusion->fuseFrame(frame);
      } catch (const std::exception& e) {
        FW_LOG(fw::kLogError) << "Failed to feed frame to backend: " << e.what();
      }
    });
  } else if (command == "map_located") {
    auto map = std::dynamic_pointer_cast<fw::Map>(argument);
    if (!map) return;
    std::vector<std::uint64_t> ids;
    for (const auto& frame : map->getFrames())
      if (frame) ids.push_back(frame->id);
    located_.note(ids);
    // Without a back end nobody uses the map: it is dropped.
    std::shared_ptr<fw::MapFusion> fusion = backEnd();
    if (!fusion) return;
    feedBackEnd([fusion = std::move(fusion), map = std::move(map)] {
      try {
        fusion->fuseMap(map);
      } catch (const std::exception& e) {
        FW_LOG(fw::kLogError) << "Failed to feed map to backend: " << e.what();
      }
    });
  } else {
    FW_LOG(fw::kLogError) << "Unknown command: " << command;
  }
}

bool VornMapperImpl::getStatus(MapperStatus& status) {
  bool changed = false;
  std::int32_t current = 0;
  std::string summary;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    current = state_;
    summary = summary_;
  }
  if (status.state != current || status.summary != summary) {
    status.state = current;
    status.summary = std::move(summary);
    changed = true;
  }
  ProgressEntry progress =
      isFinalMapperState(current) ? progressEntry() : progressWhileRunning(progressEntry());
  // Times have millisecond resolution: a change stamped in the millisecond of the last poll
  // is still a change.
  if (progress.time > status.progress.time ||
      (progress.time == status.progress.time && !sameProgress(progress, status.progress))) {
    status.progress = std::move(progress);
    changed = true;
  }
  visitOutputs([&](const std::shared_ptr<zel::OutputItem>& record) {
    if (!record) return;
    for (auto& known : status.outputs) {
      if (known && known->id == record->id) {
        if (record->isNewerThan(*known)) {
          known->update(record);
          changed = true;
        }
        return;
      }
    }
    status.outputs.push_back(record->clone());
    changed = true;
  });
  return changed;
}

bool VornMapperImpl::pushFrame(const std::string& frame) {
  if (!dataset_ || !dataset_->isLive()) return false;
  return dataset_->pushFrame(frame);
}

void VornMapperImpl::watchStopSignals(bool (*stopRequested)()) {
  stopSignalled_.store(stopRequested);
}

std::int32_t VornMapperImpl::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void VornMapperImpl::setState(std::int32_t state) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = state;
}

void VornMapperImpl::setFinalState(std::int32_t state, const std::string& summary) {
  std::lock_guard<std::mutex> lock(mutex_);
  summary_ = summary;
  state_ = state;
}

void VornMapperImpl::fail(const std::string& message) {
  FW_LOG(fw::kLogError) << message;
  setState(kMapperFailed);
}
