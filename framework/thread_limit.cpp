#include "framework/thread_limit.h"

#include <algorithm>
#include <thread>

namespace fw {

int maxThreadSetting() {
  constexpr int kPerHardwareThread = 4;
  constexpr int kLeast = 16;
  // 0 when the machine cannot tell.
  const int hardware = static_cast<int>(std::thread::hardware_concurrency());
  return std::max(kLeast, kPerHardwareThread * hardware);
}

}  // namespace fw
