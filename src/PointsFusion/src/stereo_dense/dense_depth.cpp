// The depth stage's pipeline: choice of the disparity calculator, the feed with its
// back-pressure, and the pair tasks on the worker pool.

#include "src/PointsFusion/src/stereo_dense/dense_depth.h"

#include "framework/config_store.h"
#include "framework/log.h"
#include "framework/messenger.h"
#include "framework/run_tally.h"
#include "framework/timer.h"
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"
#include "src/PointsFusion/src/stereo_dense/sgm_gpu.h"
#include "src/PointsFusion/src/stereo_dense/stage_clock.h"
#include "src/new_sgm/src/stereosgm_image.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>

namespace {

// Enters a section of the calling thread's timer and leaves it on every way out.
class TimerSection {
 public:
  explicit TimerSection(const char* name) : name_(name) { fw::Timer::instance().enter(name_); }
  ~TimerSection() { fw::Timer::instance().leave(name_); }

 private:
  std::string name_;
};

std::shared_ptr<DisparityCalculator> cpuFallback() {
  fw::Var::instance().setText("pointsfusion.dense_method", "2");
  return std::make_shared<SGM_CPU>();
}

// SGM_GPU when the options ask for it and a device answers with memory to spare; SGM_CPU
// otherwise.
std::shared_ptr<DisparityCalculator> chooseCalculator(const DenseDepthOptions& options) {
  if (options.method != DenseDepthOptions::kGpuMethod) {
    return std::make_shared<SGM_CPU>();
  }
  if (!probeCudaDevice()) {
    FW_LOG(fw::kLogInfo) << "Can't find cuda device. Use CPU method.";
    return cpuFallback();
  }
  const uint64_t freeMiB = getFreeGpuMemoryMB();
  FW_LOG(fw::kLogInfo) << "GPU memory left: " << freeMiB << " MB";
  if (freeMiB < DenseDepth::kSmallGpuMemoryMiB) {
    FW_LOG(fw::kLogInfo) << "GPU memroy too small, which may affect the result.";
  }
  const int band = DenseDepth::gpuBandPixels(freeMiB);
  if (band <= 0) {
    FW_LOG(fw::kLogWarning) << "No GPU memory to match in. Use CPU method.";
    return cpuFallback();
  }
  fw::Var::instance().setText("pointsfusion.cut_pixel_num", std::to_string(band));
  return std::make_shared<SGM_GPU>();
}

}  // namespace

DenseDepth::DenseDepth(float scale_)
    : DenseDepth(scale_, nullptr, DenseDepthOptions::fromConfig()) {}

DenseDepth::DenseDepth(float scale_, std::shared_ptr<DisparityCalculator> calculator_)
    : DenseDepth(scale_, std::move(calculator_), DenseDepthOptions::fromConfig()) {}

DenseDepth::DenseDepth(float scale_, std::shared_ptr<DisparityCalculator> calculator_,
                       const DenseDepthOptions& options)
    : calculator(calculator_ ? std::move(calculator_) : chooseCalculator(options)),
      scale(scale_),
      options_(options),
      pool_(std::make_unique<fw::BoundedPool>(options.threads)) {}

DenseDepth::~DenseDepth() {
  pool_->cancel();  // a feed still held back goes on at once
  try {
    std::optional<Queued> last;
    {
      std::lock_guard<std::mutex> feed(feedMutex_);
      last = pairLastFrame();
    }
    if (last) publishInTurn(*last);
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "DenseDepth: the last frame was not paired: " << e.what();
  } catch (...) {
    FW_LOG(fw::kLogError) << "DenseDepth: the last frame was not paired.";
  }
  pool_.reset();  // runs every queued pair task, so every published future is fulfilled
  for (Seen& s : seen_) s.record->letGoOfSource();
  seen_.clear();
  {
    std::lock_guard<std::mutex> lock(listMutex);
    pairs.clear();
  }
  calculator.reset();
}

int DenseDepth::gpuBandPixels(uint64_t freeMiB) {
  if (freeMiB >= kGpuMemoryStepMiB) {
    const int64_t kept = std::min<int64_t>(static_cast<int64_t>(freeMiB * 0.75), 2048);
    const int64_t band = (static_cast<int64_t>(freeMiB) - kept) * 1024;
    return static_cast<int>(std::min<int64_t>(band, kMaxBandPixels));
  }
  return static_cast<int>(static_cast<double>(freeMiB * 1024) * 0.75);
}

bool DenseDepth::waitForRoom() { return pool_->waitForRoom(kMaxQueuedPairs); }

void DenseDepth::setBlockHook(fw::BoundedPool::BlockHook hook) {
  pool_->setBlockHook(std::move(hook));
}

const char* DenseDepth::deviceName() const {
  return dynamic_cast<const SGM_GPU*>(calculator.get()) ? "GPU" : "CPU";
}

double DenseDepth::workingScale(double width) const {
  double s = 1.0 / double(scale);
  if (width * s < kMinWorkWidth) s = kMinWorkWidth / width;
  return std::min(s, 1.0);
}

void DenseDepth::MakeImageScaled(std::shared_ptr<fw::MapFrame> frame) {
  const double s = frame ? workingScale(frame->getCamera(0).width()) : 1.0;
  auto record = std::make_shared<ImageScaled>(std::move(frame), cv::Mat(), s);
  record->holdSource();  // let go when it leaves the recent frames (seen_)
  std::lock_guard<std::mutex> lock(listMutex);
  pairs.push_back(std::move(record));
}

void DenseDepth::AddFrame(std::shared_ptr<fw::MapFrame> frame) {
  if (!frame) return;
  TimerSection section("DenseDepth::AddFrame");
  if (options_.cloneFrame) frame = PrepareFrame(std::move(frame));
  waitForRoom();
  std::optional<Queued> queued;
  {
    std::lock_guard<std::mutex> feed(feedMutex_);
    queued = feedLocked(std::move(frame));
  }
  if (queued) publishInTurn(*queued);
}

std::optional<DenseDepth::Queued> DenseDepth::feedLocked(std::shared_ptr<fw::MapFrame> frame) {
  pair_choice::View view = pair_choice::viewOf(frame);
  MakeImageScaled(std::move(frame));

  std::shared_ptr<ImageScaled> reference, neighbour;
  {
    std::lock_guard<std::mutex> lock(listMutex);
    neighbour = pairs.back();
    if (pairs.size() >= 2) reference = pairs.front();
  }
  Seen incoming{neighbour, std::move(view)};
  if (!reference) {  // the first frame waits for its successor
    seen_.push_back(std::move(incoming));
    return std::nullopt;
  }
  // The reference leaves the list on every way out, a throwing subscriber included, so the
  // next frame always pairs with this one.
  struct DropFront {
    DenseDepth& stage;
    Seen& incoming;
    ~DropFront() {
      {
        std::lock_guard<std::mutex> lock(stage.listMutex);
        stage.pairs.pop_front();
      }
      stage.seen_.push_back(std::move(incoming));
      while (stage.seen_.size() > kRecentFrames + 1) {
        stage.seen_.front().record->letGoOfSource();
        stage.seen_.pop_front();
      }
    }
  } dropFront{*this, incoming};
  std::vector<std::shared_ptr<ImageScaled>> partners = partnersOf(reference, &incoming);
  if (!partners.empty() && !seen_.empty() && seen_.back().record == reference)
    seen_.back().view.partner = partners.front()->frame->id;
  if (!partners.empty() && partners.front() != neighbour) {
    FW_LOG(fw::kLogInfo) << "DenseDepth: frame " << reference->frame->id << " pairs with frame "
                         << partners.front()->frame->id << ": frame " << neighbour->frame->id
                         << " sees too little of its ground";
  }
  if (partners.empty()) partners.push_back(neighbour);
  return queuePair(reference, partners);
}

std::vector<std::shared_ptr<ImageScaled>> DenseDepth::partnersOf(
    const std::shared_ptr<ImageScaled>& reference, const Seen* next) const {
  std::vector<std::shared_ptr<ImageScaled>> partners;
  if (seen_.empty() || seen_.back().record != reference) {
    if (next) partners.push_back(next->record);  // nothing known of the reference: the usual pair
    return partners;
  }
  std::vector<const pair_choice::View*> recent;
  for (size_t i = 0; i + 1 < seen_.size(); ++i) recent.push_back(&seen_[i].view);
  const pair_choice::View* nextView = next ? &next->view : nullptr;
  const pair_choice::View* chosen = pair_choice::choose(seen_.back().view, nextView, recent);
  if (!chosen) return partners;
  std::vector<const pair_choice::View*> tried{chosen};
  for (const pair_choice::View* v :
       pair_choice::fallbacks(seen_.back().view, chosen, nextView, recent))
    tried.push_back(v);
  for (const pair_choice::View* v : tried) {
    if (next && v == &next->view) {
      partners.push_back(next->record);
      continue;
    }
    for (const Seen& s : seen_)
      if (&s.view == v) partners.push_back(s.record);
  }
  return partners;
}

std::optional<DenseDepth::Queued> DenseDepth::pairLastFrame() {
  std::shared_ptr<ImageScaled> last;
  {
    std::lock_guard<std::mutex> lock(listMutex);
    if (pairs.size() != 1) return std::nullopt;
    last = pairs.front();
  }
  if (seen_.size() < 2) return std::nullopt;
  const std::vector<std::shared_ptr<ImageScaled>> partners = partnersOf(last, nullptr);
  if (partners.empty()) return std::nullopt;
  return queuePair(last, partners);
}

DenseDepth::Queued DenseDepth::queuePair(
    const std::shared_ptr<ImageScaled>& reference,
    const std::vector<std::shared_ptr<ImageScaled>>& neighbours) {
  // Taken while the records are still among the recent frames, so that their images stay
  // until the task has read them.
  if (reference) reference->holdSource();
  for (const auto& record : neighbours)
    if (record) record->holdSource();
  Queued queued;
  queued.result = pool_
                      ->add([this, reference, neighbours] {
                        std::shared_ptr<ImageScaled> result = RunDepthTask(reference, neighbours);
                        for (const auto& record : neighbours)
                          if (record) record->letGoOfSource();
                        if (reference) reference->letGoOfSource();
                        return result;
                      })
                      .share();
  queued.turn = nextTurn_++;
  return queued;
}

void DenseDepth::publishInTurn(const Queued& queued) {
  std::unique_lock<std::mutex> lock(turnMutex_);
  turnPassed_.wait(lock, [&] { return publishedTurns_ == queued.turn; });
  lock.unlock();
  // The next result is published after this one even when a subscriber throws.
  struct PassTurn {
    DenseDepth& stage;
    ~PassTurn() {
      {
        std::lock_guard<std::mutex> lock(stage.turnMutex_);
        ++stage.publishedTurns_;
      }
      stage.turnPassed_.notify_all();
    }
  } passTurn{*this};
  fw::Messenger::instance().publish("sbt.dense_frame", queued.result);
}

std::shared_ptr<ImageScaled> DenseDepth::RunDepthTask(
    std::shared_ptr<ImageScaled> reference, std::vector<std::shared_ptr<ImageScaled>> neighbours) {
  const auto start = std::chrono::steady_clock::now();
  const uint64_t id = reference && reference->frame ? reference->frame->id : 0;
  fw::RunTally& tally = fw::RunTally::instance();
  try {
    bool ok = false;
    const char* reason = pair_failure::kNoOverlap;  // no neighbour at all
    for (const auto& neighbour : neighbours) {
      if (reference && neighbour && ComputeDepth(reference, neighbour, &reason)) {
        ok = true;
        break;
      }
      // A fault is the stage's, not the partner's: another partner is not tried.
      if (reason == pair_failure::kFault) break;
    }
    FW_LOG(fw::kLogInfo) << "Frame ID:" << id << ",Device:" << deviceName()
                         << ",Status:" << (ok ? "Succeed" : "Failed")
                         << ",Time:" << secondsSince(start) << "s" << (ok ? "" : ",Reason:")
                         << (ok ? "" : reason);
    if (ok)
      tally.add(fw::tally::kDepthMaps);
    else
      tally.fail(fw::tally::kDepthMaps, reason);
    if (reference && !ok) reference->depth.release();
    return reference;
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "Frame ID:" << id << ",Device:" << deviceName()
                          << ",Status:Failed,Time:" << secondsSince(start) << "s," << e.what();
  } catch (...) {
    FW_LOG(fw::kLogError) << "Frame ID:" << id << ",Device:" << deviceName()
                          << ",Status:Failed,Time:" << secondsSince(start) << "s,unknown exception";
  }
  tally.fail(fw::tally::kDepthMaps, pair_failure::kFault);
  if (reference) reference->depth.release();
  return reference;
}
