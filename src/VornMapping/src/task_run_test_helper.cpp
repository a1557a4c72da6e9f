#include "task_run_test_helper.h"

#include "src/utilities/src/test_images.h"

namespace vmtest {

TaskRun runTask(const std::string& program, const nlohmann::json& task, const std::string& input) {
  TaskRun run;
  run.child = runChild(
      program, {"--task", base64Encode(task.dump()), "--config", base64Encode("{}")}, input, 60);
  for (const std::string& line : splitLines(run.child.err)) {
    if (line.rfind("{\"output\":", 0) != 0) continue;
    run.states.push_back(nlohmann::json::parse(line).at("state").get<int>());
  }
  return run;
}

nlohmann::json frameListTask(const TempDir& dir, int frames, const nlohmann::json& locate) {
  auto list = writeFrameList(dir.path(), frames, 48, 36);
  nlohmann::json task = {{"home", dir.path().string()},
                         {"dataset", {{"form", "zel_frame"}, {"uri", list.string()}}}};
  if (!locate.empty()) task["locate"] = locate;
  return task;
}

}  // namespace vmtest
