#include "framework/bounded_pool.h"

namespace fw {

bool BoundedPool::waitForRoom(uint64_t limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (waiting_ <= limit || cancelled_) return !cancelled_;
  if (blockHook_) {
    const BlockHook hook = blockHook_;
    const uint64_t waiting = waiting_;
    lock.unlock();
    hook(waiting);
    lock.lock();
  }
  ++blocked_;
  changed_.wait(lock, [&] { return waiting_ <= limit || cancelled_; });
  --blocked_;
  return !cancelled_;
}

void BoundedPool::cancel() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
  }
  changed_.notify_all();
}

void BoundedPool::taskTaken() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --waiting_;
  }
  changed_.notify_all();
}

uint64_t BoundedPool::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

int BoundedPool::blockedProducers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return blocked_;
}

void BoundedPool::setBlockHook(BlockHook hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  blockHook_ = std::move(hook);
}

}  // namespace fw
