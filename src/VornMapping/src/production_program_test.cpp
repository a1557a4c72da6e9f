// The production mapping program refuses bad tasks like the test variant does, and fails a task
// whose chain ends are not built into it, with the reason in the task log.
#include "task_run_test_helper.h"

#include "read_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace {

using nlohmann::json;
using vmtest::frameListTask;
using vmtest::readFile;
using vmtest::TaskRun;

const char* const kProgram = VORN_MAPPING_PROGRAM;

TaskRun runTask(const json& task) { return vmtest::runTask(kProgram, task); }

TEST(ProductionProgram, RefusesBadTasksAndUnbuiltChainEnds) {
  vmtest::TempDir dir;
  TaskRun fewFrames = runTask(frameListTask(dir, 5));
  EXPECT_EQ(fewFrames.child.exit_code, 0);
  EXPECT_EQ(fewFrames.states, std::vector<int>{-14});
  EXPECT_NE(readFile(dir / "log.txt").find("Insufficient frames for mapping: 5"),
            std::string::npos);

  vmtest::TempDir other;
  json task = frameListTask(other, 6);
  task["home"] = (other / "absent").string();
  EXPECT_EQ(runTask(task).states, std::vector<int>{-14});
  EXPECT_FALSE(std::filesystem::exists(other / "log.txt"));

  vmtest::TempDir fourth;
  std::ofstream(fourth / "frames.json") << "[{\"uri\": ";
  json broken = {{"home", fourth.path().string()},
                 {"dataset", {{"form", "zel_frame"}, {"uri", (fourth / "frames.json").string()}}}};
  EXPECT_EQ(runTask(broken).states, std::vector<int>{-14});
  EXPECT_NE(readFile(fourth / "log.txt").find("Failed to create dataset. "), std::string::npos);

  // The back end is not part of this program yet: the task fails when the chain is built.
  vmtest::TempDir third;
  TaskRun unbuilt = runTask(frameListTask(third, 6));
  EXPECT_EQ(unbuilt.child.exit_code, 0);
  ASSERT_FALSE(unbuilt.states.empty()) << unbuilt.child.err;
  EXPECT_EQ(unbuilt.states.back(), -14);
  const std::string log = readFile(third / "log.txt");
  EXPECT_NE(log.find("Failed to create "), std::string::npos) << log;
  EXPECT_NE(log.find(" process: legacy_"), std::string::npos) << log;
}

}  // namespace
