// The production mapping program refuses bad tasks like the test variant does, and fails a task
// whose chain ends are not built into it, with the reason in the task log.
#include "child_process_test_helper.h"

#include "src/utilities/src/test_images.h"

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace {

using nlohmann::json;

const char* const kProgram = VORN_MAPPING_PROGRAM;

struct ProgramRun {
  std::vector<int> states;  // of every status line, in order
  vmtest::ChildResult child;
};

ProgramRun runTask(const json& task) {
  ProgramRun run;
  run.child = vmtest::runChild(kProgram, {"--task", vmtest::base64Encode(task.dump())}, "", 60);
  for (const std::string& line : vmtest::splitLines(run.child.err)) {
    if (line.rfind("{\"output\":", 0) != 0) continue;
    run.states.push_back(json::parse(line).at("state").get<int>());
  }
  return run;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

json frameListTask(const vmtest::TempDir& dir, int frames) {
  auto list = vmtest::writeFrameList(dir.path(), frames, 48, 36);
  return {{"home", dir.path().string()},
          {"dataset", {{"form", "zel_frame"}, {"uri", list.string()}}}};
}

TEST(ProductionProgram, RefusesBadTasksAndUnbuiltChainEnds) {
  vmtest::TempDir dir;
  ProgramRun fewFrames = runTask(frameListTask(dir, 5));
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
  ProgramRun unbuilt = runTask(frameListTask(third, 6));
  EXPECT_EQ(unbuilt.child.exit_code, 0);
  ASSERT_FALSE(unbuilt.states.empty()) << unbuilt.child.err;
  EXPECT_EQ(unbuilt.states.back(), -14);
  const std::string log = readFile(third / "log.txt");
  EXPECT_NE(log.find("Failed to create "), std::string::npos) << log;
  EXPECT_NE(log.find(" process: legacy_"), std::string::npos) << log;
}

}  // namespace
