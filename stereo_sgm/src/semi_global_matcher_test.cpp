#include "semi_global_matcher.h"
#include "cuda_utils.h"
#include "matcher_refusal_cases.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

// The checks run before any device call, so they hold on machines without a device; there a
// valid configuration fails at its first allocation with the CUDA error text.
TEST(SemiGlobalMatcherChecks, RefusalTextsAndOrderBeforeTheDevice) {
  const bool device = sgm::runProbeKernel() == 0;
  for (const sgm_test::MatcherCase& c : sgm_test::matcherCases()) {
    SCOPED_TRACE(c.name);
    try {
      sgm::SemiGlobalMatcher m(c.width, c.height, c.disparity_size, c.src_bits, c.dst_bits,
                               sgm::kHostInHostOut, c.p);
      EXPECT_TRUE(device && c.refusal.empty()) << "constructed";
    } catch (const std::logic_error& e) {
      EXPECT_EQ(e.what(), c.refusal);
    } catch (const std::runtime_error& e) {
      EXPECT_FALSE(device);
      EXPECT_EQ(c.refusal, "");
      EXPECT_EQ(std::string(e.what()).rfind("[CUDA Error] ", 0), 0u) << e.what();
    }
  }
}

}  // namespace
