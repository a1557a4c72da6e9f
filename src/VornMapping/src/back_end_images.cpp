#include "src/VornMapping/src/back_end_images.h"

#include "framework/diy_frame.h"
#include "framework/frame_image_decoding.h"

#include <algorithm>
#include <utility>

void BackEndImages::keep(uint64_t id, const cv::Mat& image, int reduction) {
  if (image.empty() || image.type() != CV_8UC3 || reduction < 1) return;
  Kept kept{id, fw::reduceFrameImage(image, kFurtherReduction), reduction * kFurtherReduction};
  std::lock_guard<std::mutex> lock(mutex_);
  kept_.push_back(std::move(kept));
}

void BackEndImages::handOver(fw::MapFrame& frame) {
  Kept found{};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it =
        std::find_if(kept_.begin(), kept_.end(), [&](const Kept& k) { return k.id == frame.id; });
    if (it == kept_.end()) return;
    found = std::move(*it);
    kept_.erase(kept_.begin(), it + 1);
  }
  if (auto* carrier = dynamic_cast<MapFrame*>(&frame))
    carrier->setReducedImage(fw::GImage(found.image), found.reduction);
}

void BackEndImages::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  kept_.clear();
}

size_t BackEndImages::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kept_.size();
}
