#pragma once

#include <nlohmann/json_fwd.hpp>

#include <condition_variable>
#include <cstdint>
#include <mutex>

// Limits of the image loaders against hostile or oversized images.
struct ImageLoadOptions {
  // An image whose header claims more pixels is refused before it is decoded.
  int64_t maxPixels = 250'000'000;
  // Decoded bytes that the loaders may hold ahead of the consumer at once.
  int64_t decodeBudgetBytes = int64_t{2} << 30;
  // The long side, in pixels, of the copy the frames' consumer works at (0: the whole image).
  // An image whose header tells it at least twice as long is decoded reduced by 2, 4 or 8, to
  // no less than this: most of a full decode's time and memory go to pixels never looked at.
  int workingLongSide = 0;

  // Throws std::invalid_argument, with the reason, when a limit is not positive or the
  // working side is negative.
  void check() const;
  // The defaults, overridden by the configuration store's "dataset.max_megapixels" and
  // "dataset.decode_budget_mb" (which the environment can preset); limits that fail `check`
  // are logged and the defaults kept. The working side is the front end's default feature
  // image side (fw::kDefaultFeatureImageLongSide).
  static ImageLoadOptions fromConfiguration();
  // `fromConfiguration`, with the task's dataset members "max_megapixels" and
  // "decode_budget_mb" (whole numbers of at least 1) in place of the stored values, and
  // `workingLongSide` when positive (the side the task's front end reads its features at, see
  // frontEndFeatureImageSide) in place of the default one.
  static ImageLoadOptions forDataset(const nlohmann::json& dataset, int workingLongSide = 0);
};

// The decoded bytes that loaders of one dataset hold for frames not yet handed out. A loader
// reserves its image's bytes before decoding and waits while they do not fit; the frame the
// consumer is waiting for never waits, so the run always moves on.
class DecodeBudget {
 public:
  explicit DecodeBudget(int64_t bytes) : capacity_(bytes) {}

  // False when the budget was cancelled while waiting (the dataset is going away).
  bool acquire(int64_t bytes, int64_t frameIndex);
  void release(int64_t bytes);
  // The frame the consumer waits for now; its loader may overdraw the budget.
  void setConsumerFrame(int64_t frameIndex);
  void cancel();
  int64_t inUse() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  const int64_t capacity_;
  int64_t used_ = 0;
  int64_t consumerFrame_ = 0;
  bool cancelled_ = false;
};
