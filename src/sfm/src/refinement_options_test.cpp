// The front end's settings: each read strictly by its member's type, from the configuration or
// else the environment, and every refusal names its key.
#include "refinement_options.h"

#include "framework/thread_limit.h"
#include "testsupport/scoped_env.h"

#include <gtest/gtest.h>

namespace sfm {
namespace {

using nlohmann::json;

std::string refusal(const json& specific) {
  try {
    RefinementOptions options;
    applySpecific(specific, &options);
    options.check();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

TEST(RefinementOptions, ValuesAreTakenOnlyOfTheirKindFromTheConfigurationOrTheEnvironment) {
  EXPECT_EQ(refusal({{"sfm.refine.window_size", true}}),
            "sfm.refine.window_size must be a whole number, not true");
  EXPECT_EQ(refusal({{"sfm.refine.threads", 1e308}}),
            "sfm.refine.threads must be a whole number, not 1e+308");
  EXPECT_EQ(refusal({{"sfm.refine.threads", fw::maxThreadSetting() + 1}})
                .rfind("sfm.refine.threads must be from 1 to ", 0),
            0u);
  EXPECT_EQ(refusal({{"sfm.refine.enabled", 1}}),
            "sfm.refine.enabled must be true or false, not 1");
  EXPECT_EQ(refusal({{"sfm.refine.frame_list_window", 100000}}),
            "sfm.refine.frame_list_window must be from 2 to 1000 frames");
  EXPECT_EQ(refusal({{"sfm.refine.window_size", 1}}),
            "sfm.refine.window_size must be from 2 to 1000 frames");
  EXPECT_EQ(refusal({{"sfm.refine.threads", "4"}, {"sfm.refine.enabled", "false"}}), "");

  const vmtest::ScopedEnv threads("sfm.refine.threads", "3");
  const vmtest::ScopedEnv detector("sfm.refine.detector", "SIFT");
  RefinementOptions options;
  applySpecific({{"sfm.refine.detector", "ORB"}}, &options);
  EXPECT_EQ(options.threads, 3);
  EXPECT_EQ(options.detector, FeatureDetector::kOrb);  // the configuration's value wins
}

}  // namespace
}  // namespace sfm
