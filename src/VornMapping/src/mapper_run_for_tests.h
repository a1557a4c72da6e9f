#pragma once

// Waits for a started mapper in the tests that run one in-process.

#include "vorn_mapper.h"

#include <chrono>
#include <thread>

namespace vmtest {

// Polls the mapper's status until its state is final or `limit` has passed, and returns the
// last status read. A run still going at the limit is stopped, so the test fails on its state
// instead of hanging when the mapper's destruction joins a run that waits for frames.
inline MapperStatus runToEnd(VornMapper& mapper,
                             std::chrono::seconds limit = std::chrono::seconds(30)) {
  MapperStatus status;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    mapper.getStatus(status);
    if (isFinalMapperState(status.state)) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  mapper.stop();
  return status;
}

}  // namespace vmtest
