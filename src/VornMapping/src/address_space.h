#pragma once

#include <cstdint>
#include <string>

// The address space a run needs before its first frame: the shared libraries, and the stacks
// of its threads and of the libraries' own worker threads. Below it, thread creation fails at
// places no stage can recover from (inside a library's own worker), so the run is refused
// at its start instead.
inline constexpr std::uint64_t kLeastAddressSpaceBytes = std::uint64_t(1) << 30;

// Empty when the process's address-space limit (ulimit -v) leaves at least `least` bytes;
// otherwise the refusal, naming the limit.
std::string addressSpaceProblem(std::uint64_t least = kLeastAddressSpaceBytes);
