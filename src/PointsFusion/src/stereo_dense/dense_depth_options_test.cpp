#include "src/PointsFusion/src/stereo_dense/dense_depth_options.h"

#include "framework/thread_limit.h"

#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/pipeline_test_support.h"
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using pipeline_test::Config;
using pipeline_test::LogLines;

TEST(DenseDepthOptions, DefaultsAreTheStoreDefaults) {
  const DenseDepthOptions o = DenseDepthOptions::fromConfig();
  EXPECT_EQ(o.threads, 4);
  EXPECT_FALSE(o.cloneFrame);
  EXPECT_EQ(o.searchRangeFactor, 3.0);
}

TEST(DenseDepthOptions, ReadsEverySettingOnce) {
  Config threads("pointsfusion.dense_thread_num", "7", "4");
  Config method("pointsfusion.dense_method", "1", "3");
  Config clone("pointsfusion.clone_frame", "2", "0");
  Config factor("pointsfusion.search_range_factor", "1.5", "3.0");
  const DenseDepthOptions o = DenseDepthOptions::fromConfig();
  EXPECT_EQ(o.threads, 7);
  EXPECT_EQ(o.method, 1);
  EXPECT_TRUE(o.cloneFrame);
  EXPECT_EQ(o.searchRangeFactor, 1.5);
}

TEST(DenseDepthOptions, TheStageKeepsWhatItReadWhenBuilt) {
  Config clone("pointsfusion.clone_frame", "1", "0");
  Config threads("pointsfusion.dense_thread_num", "99", "4");
  DenseDepth stage(4.0f, std::make_shared<SGM_CPU>());
  fw::Var::instance().setText("pointsfusion.clone_frame", "0");
  EXPECT_TRUE(stage.options().cloneFrame);
  EXPECT_EQ(stage.options().threads, std::min(99, fw::maxThreadSetting()));
}

TEST(DenseDepthOptions, TheThreadCountIsMendedIntoTheRangeCheckHolds) {
  LogLines log;
  auto refused = [](const DenseDepthOptions& o) {
    try {
      o.check();
    } catch (const std::invalid_argument& e) {
      return std::string(e.what()).rfind("pointsfusion.dense_thread_num must be from 1 to ", 0) ==
             0;
    }
    return false;
  };
  const int most = fw::maxThreadSetting();
  for (const auto& [given, kept] : std::vector<std::pair<int, int>>{
           {-3, 1}, {0, 1}, {1, 1}, {most, most}, {most + 1, most}, {1000000, most}}) {
    DenseDepthOptions o;
    o.threads = given;
    EXPECT_EQ(refused(o), given != kept) << given;
    o.mend();
    EXPECT_EQ(o.threads, kept) << given;
  }
  EXPECT_EQ(log.count(fw::kLogWarning, "pointsfusion.dense_thread_num"), 4);
  EXPECT_EQ(log.count(fw::kLogWarning, "pointsfusion.dense_thread_num " + std::to_string(most + 1) +
                                           " is out of 1.." + std::to_string(most)),
            1);
}

}  // namespace
