#include "address_space.h"

#include <sys/resource.h>

std::string addressSpaceProblem(std::uint64_t least) {
  rlimit limit{};
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur >= least) {
    return "";
  }
  return "The address-space limit (ulimit -v) of " + std::to_string(limit.rlim_cur >> 20) +
         " MB is below the " + std::to_string(least >> 20) +
         " MB a run needs for its libraries and threads; raise it.";
}
