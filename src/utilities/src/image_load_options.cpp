#include "image_load_options.h"

#include "framework/config_store.h"
#include "framework/frame_image_decoding.h"
#include "framework/log.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

void ImageLoadOptions::check() const {
  if (maxPixels < 1) throw std::invalid_argument("the pixel budget must be positive");
  if (decodeBudgetBytes < 1)
    throw std::invalid_argument("the decode memory budget must be positive");
  if (workingLongSide < 0)
    throw std::invalid_argument("the working image side must not be negative");
}

ImageLoadOptions ImageLoadOptions::fromConfiguration() {
  ImageLoadOptions options;
  fw::Var& config = fw::Var::instance();
  options.maxPixels =
      int64_t{*config.GetInt("dataset.max_megapixels", int(options.maxPixels / 1'000'000))} *
      1'000'000;
  options.decodeBudgetBytes =
      int64_t{*config.GetInt("dataset.decode_budget_mb", int(options.decodeBudgetBytes >> 20))}
      << 20;
  options.workingLongSide = fw::kDefaultFeatureImageLongSide;
  try {
    options.check();
  } catch (const std::invalid_argument& e) {
    FW_LOG(fw::kLogWarning) << "Image limits from the configuration ignored: " << e.what();
    return ImageLoadOptions();
  }
  return options;
}

ImageLoadOptions ImageLoadOptions::forDataset(const nlohmann::json& dataset, int workingLongSide) {
  ImageLoadOptions options = fromConfiguration();
  if (workingLongSide > 0) options.workingLongSide = workingLongSide;
  // The entry point refuses other values; a value that is not a whole number of at least 1
  // (and no more than a 64-bit byte count takes) leaves the stored limit.
  auto wholeNumber = [&](const char* key, int64_t high, int64_t& out) {
    const auto it = dataset.find(key);
    if (it == dataset.end() || !it->is_number_integer()) return false;
    const int64_t value = it->is_number_unsigned() && it->get<uint64_t>() > uint64_t(high)
                              ? high + 1
                              : it->get<int64_t>();
    if (value < 1 || value > high) return false;
    out = value;
    return true;
  };
  if (!dataset.is_object()) return options;
  int64_t value = 0;
  if (wholeNumber("max_megapixels", int64_t{1} << 40, value)) options.maxPixels = value * 1'000'000;
  if (wholeNumber("decode_budget_mb", int64_t{1} << 40, value))
    options.decodeBudgetBytes = value << 20;
  return options;
}

bool DecodeBudget::acquire(int64_t bytes, int64_t frameIndex) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] {
    return cancelled_ || used_ + bytes <= capacity_ || frameIndex <= consumerFrame_;
  });
  if (cancelled_) return false;
  used_ += bytes;
  return true;
}

void DecodeBudget::release(int64_t bytes) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    used_ -= bytes;
  }
  changed_.notify_all();
}

void DecodeBudget::setConsumerFrame(int64_t frameIndex) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    consumerFrame_ = frameIndex;
  }
  changed_.notify_all();
}

void DecodeBudget::cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  changed_.notify_all();
}

int64_t DecodeBudget::inUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return used_;
}
