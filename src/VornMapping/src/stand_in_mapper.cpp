#include "vorn_mapper.h"

#include <mutex>

// A mapper that runs nothing: it is ready (100) until the input ends, then finished
// (12), or stopped (13) on "abort". The command-line contract and the status loop run
// with it on their own, before and beside the real mapper.
namespace {

class StandInMapper final : public VornMapper {
 public:
  bool start() override { return true; }

  void stop() override { finish(kMapperStopped); }

  bool getStatus(MapperStatus& status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status.state == state_) return false;
    status.state = state_;
    return true;
  }

  bool pushFrame(const std::string& frame) override {
    if (frame.empty()) finish(kMapperFinished);
    return false;
  }

 private:
  void finish(std::int32_t state) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!isFinalMapperState(state_)) state_ = state;
  }

  std::mutex mutex_;
  std::int32_t state_ = kMapperReady;
};

}  // namespace

std::shared_ptr<VornMapper> createVornMapper(const std::string&, MapperCallback) {
  return std::make_shared<StandInMapper>();
}
