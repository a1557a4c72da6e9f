#include "address_space.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstdlib>

namespace {

TEST(AddressSpace, AnUnlimitedProcessPasses) {
  rlimit limit{};
  getrlimit(RLIMIT_AS, &limit);
  if (limit.rlim_cur != RLIM_INFINITY) GTEST_SKIP() << "this test runs under a limit";
  EXPECT_EQ(addressSpaceProblem(), "");
}

#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && \
    !__has_feature(address_sanitizer) && !__has_feature(thread_sanitizer)
// The sanitizers reserve far more address space than the limit the child sets.
// Exits 0 when a 512 MB limit is refused by name and a limit above the least is not.
void checkUnderALimit() {
  const rlimit limit{rlim_t(512) << 20, rlim_t(512) << 20};
  setrlimit(RLIMIT_AS, &limit);
  const std::string refused = addressSpaceProblem(std::uint64_t(1) << 30);
  const bool named =
      refused.rfind("The address-space limit (ulimit -v) of 512 MB is below the 1024 MB", 0) == 0;
  std::exit(named && addressSpaceProblem(std::uint64_t(256) << 20).empty() ? 0 : 1);
}

TEST(AddressSpaceDeathTest, ALimitBelowTheLeastIsRefusedByItsSize) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(checkUnderALimit(), testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
