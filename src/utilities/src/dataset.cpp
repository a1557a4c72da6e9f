#include "dataset.h"

#include "frame_document.h"
#include "frame_list.h"
#include "loader_threads.h"
#include "regular_file.h"

#include "framework/bounded_json.h"
#include "framework/log.h"
#include "framework/printable_text.h"
#include "framework/run_tally.h"

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>

namespace {

// How long a waiting thread sleeps before it looks again without being woken.
constexpr auto kPollInterval = std::chrono::milliseconds(100);

// Epoch seconds given to frames without a time stamp: this base plus the frame identifier.
constexpr double kDefaultTimeBase = 1701532800.0;

std::shared_ptr<VornMapperFrame> handedOut(std::shared_ptr<VornMapperFrame> frame) {
  fw::RunTally::instance().add(fw::tally::kFramesRead);
  return frame;
}

void skip(const VornMapperFrame& frame) {
  FW_LOG(fw::kLogError) << "Skipping frame " << frame.id << " ("
                        << fw::printableText(frame.imagePath())
                        << "): its image could not be loaded";
  fw::RunTally::instance().fail(fw::tally::kFramesRead, frame.loadFailure);
}

}  // namespace

ImageDataset::ImageDataset(const ImageLoadOptions& options)
    : options_(options), budget_(options.decodeBudgetBytes) {}

ImageDataset::ImageDataset(const std::string& frameListPath, const ImageLoadOptions& options)
    : ImageDataset(options) {
  std::vector<unsigned char> bytes;
  std::string reason;
  if (!readRegularFile(frameListPath, bytes, reason)) {
    FW_LOG(fw::kLogError) << "Failed to open " << fw::printableText(frameListPath) << ": "
                          << reason;
    return;
  }
  readFrameList(bytes, [this](const nlohmann::json& doc) { loadFrame(doc); });
}

ImageDataset::~ImageDataset() {
  // Loaders waiting for budget give up, so the dispatcher can join them.
  budget_.cancel();
  stopDispatcher();
}

bool ImageDataset::pushFrame(const std::string&) { return false; }

bool ImageDataset::isLive() { return false; }

int ImageDataset::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(frames_.size());
}

std::shared_ptr<VornMapperFrame> ImageDataset::loadFrame(const nlohmann::json& doc) {
  FrameDocument parsed;
  std::string error;
  std::string refusal;
  if (!readFrameDocument(doc, parsed, error, refusal)) {
    FW_LOG(fw::kLogError) << error;
    // A refused document is a frame the run loses, like one whose image does not load.
    fw::RunTally::instance().fail(fw::tally::kFramesRead, refusal);
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  uint64_t id = frames_.size();
  double timestamp =
      parsed.timestamp < 0.0 ? static_cast<double>(id) + kDefaultTimeBase : parsed.timestamp;
  auto frame = std::make_shared<VornMapperFrame>(id, parsed.uri, timestamp, std::move(parsed.gps),
                                                 std::move(parsed.calibration));
  frames_.push_back(frame);
  return frame;
}

void ImageDataset::interrupt() {
  interrupted_.store(true);
  notifyWaiters();
}

void ImageDataset::notifyWaiters() {
  // Taking the wait mutex orders this wake-up after a waiter's check of its condition.
  { std::lock_guard<std::mutex> lock(waitMutex_); }
  changed_.notify_all();
}

void ImageDataset::waitUntil(const std::function<bool()>& ready) {
  std::unique_lock<std::mutex> lock(waitMutex_);
  changed_.wait_for(lock, kPollInterval, ready);
}

std::shared_ptr<VornMapperFrame> ImageDataset::frameAt(int index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || index >= static_cast<int>(frames_.size())) return nullptr;
  return frames_[index];
}

void ImageDataset::queueAhead(int first) {
  for (int k = 0; k < kPrefetchCount; ++k) {
    std::shared_ptr<VornMapperFrame> frame = frameAt(first + k);
    if (!frame) break;
    int expected = VornMapperFrame::kNotRequested;
    if (frame->loadState.compare_exchange_strong(expected, VornMapperFrame::kQueued)) {
      pending_.push(first + k);
    }
  }
  notifyWaiters();
}

std::shared_ptr<VornMapperFrame> ImageDataset::next() {
  while (!interrupted()) {
    int cursor = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (cursor_ >= static_cast<int>(frames_.size())) return nullptr;
      cursor = cursor_;
    }
    if (!dispatcher_.joinable()) startDispatcher();
    queueAhead(cursor);
    std::shared_ptr<VornMapperFrame> frame;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      frame = frames_[cursor_++];
    }
    budget_.setConsumerFrame(static_cast<int64_t>(frame->id));
    auto settled = [&] {
      return frame->loadState.load() >= VornMapperFrame::kLoaded || interrupted();
    };
    while (!settled()) waitUntil(settled);
    handOut(*frame);
    if (frame->loadState.load() == VornMapperFrame::kLoaded) return handedOut(frame);
    if (frame->loadState.load() == VornMapperFrame::kFailed) skip(*frame);
  }
  return nullptr;
}

void ImageDataset::handOut(VornMapperFrame& frame) {
  const int64_t reserved = frame.decodeReservation.exchange(0);
  if (reserved > 0) budget_.release(reserved);
}

void ImageDataset::startDispatcher() {
  dispatching_.store(true);
  dispatcher_ = std::thread(&ImageDataset::dispatchLoop, this);
}

void ImageDataset::stopDispatcher() {
  dispatching_.store(false);
  notifyWaiters();
  if (dispatcher_.joinable()) dispatcher_.join();
}

void ImageDataset::dispatchLoop() {
  // OpenCV sets up its image codecs on first use, inside code the thread checker cannot
  // follow: set them up here, so that every loader thread starts after it.
  cv::haveImageWriter(".jpg");
  // Declared inside the loop's scope: every loader is joined before the dispatcher ends.
  LoaderThreads loaders;
  auto workOrStop = [this] { return !pending_.empty() || !dispatching_.load(); };
  while (dispatching_.load()) {
    loaders.reapFinished();
    int index = 0;
    if (!pending_.pop(index)) {
      waitUntil(workOrStop);
      continue;
    }
    std::shared_ptr<VornMapperFrame> frame = frameAt(index);
    if (!frame || frame->loadState.load() != VornMapperFrame::kQueued) continue;
    loaders.start([this, frame] {
      loadImage(*frame, options_, &budget_);
      notifyWaiters();
    });
  }
}

ImageDatasetLive::ImageDatasetLive(int frameCount, const ImageLoadOptions& options)
    : ImageDataset(options), frameCount_(frameCount) {}

bool ImageDatasetLive::pushFrame(const std::string& text) {
  if (text.empty()) {
    ended_.store(1);
    notifyWaiters();
    return true;
  }
  nlohmann::json doc;
  try {
    doc = fw::parseBoundedJson(text);
  } catch (const std::exception& e) {
    // Refused like a bad document, with the JSON library's or the depth limit's reason.
    FW_LOG(fw::kLogError) << "Failed to load frame: the pushed text is not a JSON document ("
                          << e.what() << ")";
    fw::RunTally::instance().fail(fw::tally::kFramesRead, kRefusedDocument);
    return false;
  }
  bool appended = loadFrame(doc) != nullptr;
  if (appended) notifyWaiters();
  return appended;
}

bool ImageDatasetLive::isLive() { return ended_.load() == 0; }

int ImageDatasetLive::size() { return frameCount_; }

std::shared_ptr<VornMapperFrame> ImageDatasetLive::next() {
  auto ready = [this] {
    if (interrupted() || ended_.load() != 0) return true;
    std::lock_guard<std::mutex> lock(mutex_);
    return cursor_ < static_cast<int>(frames_.size());
  };
  while (!interrupted()) {
    std::shared_ptr<VornMapperFrame> frame;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (cursor_ < static_cast<int>(frames_.size())) {
        frame = frames_[cursor_++];
      } else if (ended_.load() != 0) {
        return nullptr;
      }
    }
    if (!frame) {
      waitUntil(ready);
      continue;
    }
    // Loaded outside the list's lock: a push (from the status loop) never waits for an image.
    if (loadImage(*frame, options_, nullptr)) return handedOut(frame);
    skip(*frame);
  }
  return nullptr;
}

std::shared_ptr<ImageDataset> createDataset(nlohmann::json dataset, int workingLongSide) {
  const nlohmann::json& live = dataset["live"];
  const bool isLive = live.is_boolean() && live.get<bool>();
  // "form" must be a text for either kind; the JSON library's type error says why not.
  const std::string form = dataset["form"].get<std::string>();
  if (isLive) {
    const nlohmann::json& count = dataset["frame_cnt"];
    int frameCount = -1;
    if (count.is_number()) {
      // Truncated like a cast, but kept inside the range of int.
      const double value = count.get<double>();
      frameCount = value >= 2147483647.0    ? 2147483647
                   : value <= -2147483648.0 ? -2147483647 - 1
                                            : static_cast<int>(value);
    }
    return std::make_shared<ImageDatasetLive>(
        frameCount, ImageLoadOptions::forDataset(dataset, workingLongSide));
  }
  if (form == "zel_frame") {
    return std::make_shared<ImageDataset>(dataset["uri"].get<std::string>(),
                                          ImageLoadOptions::forDataset(dataset, workingLongSide));
  }
  return nullptr;
}
