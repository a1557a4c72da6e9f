#include "recording_back_end.h"

#include "chain/chain_factories.h"
#include "framework/map_fusion.h"

#include <mutex>

namespace sfm::testing {
namespace {

std::mutex fused_mutex;
std::vector<std::shared_ptr<fw::MapFrame>> fused;
int maps = 0;

class RecordingBackEnd : public fw::MapFusion {
 public:
  bool fuseFrame(std::shared_ptr<fw::MapFrame> frame) override {
    std::lock_guard<std::mutex> lock(fused_mutex);
    fused.push_back(std::move(frame));
    return true;
  }
  bool fuseMap(std::shared_ptr<fw::Map>) override {
    std::lock_guard<std::mutex> lock(fused_mutex);
    ++maps;
    return true;
  }
};

}  // namespace

std::vector<std::shared_ptr<fw::MapFrame>> fusedFrames() {
  std::lock_guard<std::mutex> lock(fused_mutex);
  return fused;
}

int fusedMaps() {
  std::lock_guard<std::mutex> lock(fused_mutex);
  return maps;
}

void resetFused() {
  std::lock_guard<std::mutex> lock(fused_mutex);
  fused.clear();
  maps = 0;
}

}  // namespace sfm::testing

std::shared_ptr<fw::MapFusion> createPointsFusionInstance(const std::string&, zel::Chain*, void*,
                                                          void*) {
  return std::make_shared<sfm::testing::RecordingBackEnd>();
}
