// Runs the program as a controlling application does and checks every byte it
// writes on its standard output and standard error stream, and its exit code.
#include "child_process_test_helper.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace {

using vmtest::base64Encode;
using vmtest::ChildResult;
using vmtest::lastLine;
using vmtest::runChild;
using vmtest::splitLines;

// The program itself, and the same entry point over a mapper that runs nothing: ready
// (100) until its input ends (12) or an "abort" arrives (13).
const std::string kProgram = VORN_MAPPING_PROGRAM;
const std::string kStandInProgram = VORN_MAPPING_STAND_IN_PROGRAM;

std::string errorLine(int code, const std::string& message) {
  return "{\"code\":" + std::to_string(code) + ",\"message\":\"" + message + "\"}\n";
}

ChildResult runTask(const std::string& task_json, const std::string& input = "",
                    const std::string& program = kProgram) {
  return runChild(program, {"--task", base64Encode(task_json), "--config", base64Encode("{}")},
                  input);
}

TEST(MappingProgram, MissingArgumentsPrintUsage) {
  const std::string task = base64Encode("{}");
  const std::string config = base64Encode("{}");
  // Both documents are required; "--task" or "--config" as the last argument has no value.
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"--task"},
                                               {"--other", "x"},
                                               {"--task", "", "--config", ""},
                                               {"--task", task},
                                               {"--config", config},
                                               {"--config", config, "--task"},
                                               {"--task", task, "--config"},
                                               {"--task", task, "--config", ""}}) {
    const ChildResult run = runChild(kProgram, args);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "Usage: " + kProgram + " --task <task> --config <config>\n");
    EXPECT_EQ(run.err, errorLine(-1, "Invalid arguments"));
  }
}

TEST(MappingProgram, TaskOrConfigThatIsNotStandardBase64IsRefusedWithTheReason) {
  const std::string config = base64Encode("{}");
  const std::string task = base64Encode(R"({"home":"/tmp","dataset":{}})");
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string line, message, reason;
  };
  const std::vector<Case> cases = {
      {{"--task", "====", "--config", config},
       -2,
       "Invalid task",
       "Invalid task string",
       "the padding '=' at byte 0 is followed by more text"},
      {{"--task", task.substr(0, task.size() - 1), "--config", config},
       -2,
       "Invalid task",
       "Invalid task string",
       "its length " + std::to_string(task.size() - 1) +
           " is not a multiple of 4: the text is cut short or lacks its '=' padding"},
      {{"--task", task + "QQ==", "--config", config},
       -2,
       "Invalid task",
       "Invalid task string",
       "the padding '=' at byte " + std::to_string(task.find('=')) + " is followed by more text"},
      {{"--task", task, "--config", "e30_"},
       -3,
       "Invalid config",
       "Invalid config string",
       "'_' at byte 3 belongs to the URL-safe alphabet: use standard Base64 ('+' and '/')"},
  };
  ASSERT_NE(task.find('='), std::string::npos);
  for (const Case& c : cases) {
    const ChildResult run = runChild(kProgram, c.args);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, c.line + ": " + c.reason + "\n");
    EXPECT_EQ(run.err, errorLine(c.code, c.message + ": " + c.reason));
  }
}

TEST(MappingProgram, ConfigDecodingToNothingIsRejected) {
  const ChildResult run = runChild(kProgram, {"--task", base64Encode("{}"), "--config", "*abc"});
  EXPECT_EQ(run.exit_code, 0);
  const std::string reason = "byte 0x2a at byte 0 is outside the Base64 alphabet";
  EXPECT_EQ(run.out, "Invalid config: " + reason + "\n");
  EXPECT_EQ(run.err, errorLine(-3, "Invalid config string: " + reason));
}

TEST(MappingProgram, TextThatIsNotJsonIsRejected) {
  const std::string format = "Invalid task or config format";
  ChildResult run = runTask("{\"home\": ");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "task string: {\"home\": \n" + format + "\n");
  EXPECT_EQ(run.err, errorLine(-4, format));

  run = runChild(kProgram, {"--task", base64Encode("{}"), "--config", base64Encode("[1,")});
  EXPECT_EQ(run.out, "task string: {}\nconfig string: [1,\n" + format + "\n");
  EXPECT_EQ(run.err, errorLine(-4, format));

  // A line break is no part of the Base64 text: refused, not read as the end of it.
  std::string broken = base64Encode("{\"home\":\"/tmp\",\"dataset\":{}}");
  broken.insert(8, "\n");
  run = runChild(kProgram, {"--task", broken, "--config", base64Encode("{}")});
  const std::string reason = "a line break at byte 8: Base64 must be one line";
  EXPECT_EQ(run.err, errorLine(-2, "Invalid task string: " + reason));
  EXPECT_EQ(run.out, "Invalid task: " + reason + "\n");
}

TEST(MappingProgram, TaskWithoutHomeOrDatasetIsRejected) {
  struct Case {
    std::string task, last_out_lines, err;
  };
  const std::vector<Case> cases = {
      {"5", "5\nNo home\n", errorLine(-5, "No home")},
      {"{\"home\":3,\"dataset\":{}}", "{\"dataset\":{},\"home\":3}\nNo home\n",
       errorLine(-5, "No home")},
      {"{\"home\":\"/x\"}", "{\"home\":\"/x\"}\nNo dataset\n", errorLine(-6, "No dataset")},
      {"{\"home\":\"/x\",\"dataset\":\"a\"}", "{\"dataset\":\"a\",\"home\":\"/x\"}\nNo dataset\n",
       errorLine(-6, "No dataset")},
  };
  for (const auto& c : cases) {
    const ChildResult run = runTask(c.task);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.out, "task string: " + c.task + "\nconfig string: {}\n" + c.last_out_lines)
        << c.task;
    EXPECT_EQ(run.err, c.err) << c.task;
  }
}

TEST(MappingProgram, UnsupportedMethodsNameTheMethod) {
  ChildResult run = runTask(R"({"home":"/h","dataset":{},"locate":{"method":"orb"}})");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, errorLine(-7, "Unsupported locate methodorb"));
  EXPECT_EQ(lastLine(run.out), R"(locate: {"method":"orb"})");

  run = runTask(R"({"home":"/h","dataset":{},"dense":{"method":"mvs"}})");
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, errorLine(-8, "Unsupported dense methodmvs"));
  const auto lines = splitLines(run.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], R"(locate: {"method":"legacy_sfm"})");
  EXPECT_EQ(lines.back().rfind("locate: {\"config\":", 0), 0u) << lines.back();
}

class MappingProgramRun : public ::testing::Test {
 protected:
  std::string task() const {
    return R"({"home":")" + home_.path().string() + R"(","dataset":{"live":true}})";
  }
  vmtest::TempDir home_;
};

TEST_F(MappingProgramRun, ValidTaskPrintsTheRebuiltChainAndRuns) {
  const std::string h = home_.path().string();
  const ChildResult run = runTask(task());
  EXPECT_EQ(run.exit_code, 0);

  const std::string locate_item =
      R"({"config":{"method":"legacy_sfm","specific":{"globalsfm.intrinsic_refinement":"ADJUST_ALL"},"work_dir":")" +
      h + R"(/.cache/sfm"},"name":"legacy_sfm","type":"front_end"})";
  const std::string dense_item =
      R"({"config":{"legacy_tf":{"dom":{"max_zoom_level":26,"method":"legacy_tf","scale":4.0,"tiling":{"location":")" +
      h + R"(/dom","scheme":1,"storage":2,"tile_format":"png","tile_size":[256,256]}},)" +
      R"("dsm":{"method":"legacy_tf","scale":4.0,"tiling":{"location":")" + h +
      R"(/dsm","scheme":1,"storage":2,"tile_format":"tif","tile_size":[64,64]}},)" +
      R"("specific":{"terrainfusion.auto_zoom":0,"terrainfusion.cache_size":4096,"terrainfusion.coordinate":"GPS",)" +
      R"("terrainfusion.max_zoom":26,"terrainfusion.render_mode":3},"work_dir":")" + h +
      R"(/.cache/tf"},)" +
      R"("method":"legacy_pf","scale":4.0,"specific":{"pointsfusion.dense_method":3},)" +
      R"("tiling":{"format":"pnts","location":")" + h + R"(/dense"},"work_dir":")" + h +
      R"(/.cache/pf"},"name":"legacy_pf","type":"back_end"})";
  const std::string rebuilt = R"({"chain":[)" + locate_item + "," + dense_item +
                              R"(],"dataset":{"live":true},"home":")" + h +
                              R"(","verbose":{"console":false,"file":true,"level":"debug"}})";
  const std::vector<std::string> expected_out = {
      "task string: " + task(),
      "config string: {}",
      R"({"dataset":{"live":true},"home":")" + h + R"("})",
      R"(locate: {"method":"legacy_sfm"})",
      "locate: " + locate_item,
      "dense: " + dense_item,
      "Finished chain config: " + rebuilt,
  };
  EXPECT_EQ(splitLines(run.out), expected_out);
  // Whatever the mapper makes of the task, the last status line carries a final state
  // (the mapper's log lines share the stream).
  nlohmann::json last;
  for (const auto& line : splitLines(run.err)) {
    const auto parsed = nlohmann::json::parse(line, nullptr, false);
    if (parsed.is_object() && parsed.contains("state")) last = parsed;
  }
  ASSERT_TRUE(last.is_object()) << run.err;
  EXPECT_TRUE(last["state"] == 12 || last["state"] == 13 || last["state"] == -14) << run.err;
  EXPECT_TRUE(last["progress"]["total"].is_number_float());
  EXPECT_TRUE(last.contains("output"));

  const ChildResult stand_in = runTask(task(), "", kStandInProgram);
  EXPECT_EQ(stand_in.exit_code, 0);
  EXPECT_EQ(splitLines(stand_in.out), expected_out);
  EXPECT_EQ(stand_in.err,
            "{\"output\":null,\"progress\":{\"total\":-1.0},\"state\":100}\n"
            "{\"output\":null,\"progress\":{\"total\":-1.0},\"state\":12}\n");
}

TEST_F(MappingProgramRun, InputLinesThatAreNoCommandsAreDropped) {
  const std::string input =
      "{}\n[1,2]\nnot "
      "json\n\n{\"frame\":5}\n{\"frame\":\"\"\n{\"abort\":\"yes\"}\n{\"abort\":false}\n";
  const ChildResult run = runTask(task(), input, kStandInProgram);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(lastLine(run.out).rfind("Finished chain config: ", 0), 0u);
  EXPECT_EQ(splitLines(run.out).size(), 7u);
  EXPECT_EQ(run.err,
            "{\"output\":null,\"progress\":{\"total\":-1.0},\"state\":100}\n"
            "{\"output\":null,\"progress\":{\"total\":-1.0},\"state\":12}\n");
}

TEST_F(MappingProgramRun, AbortStopsTheRun) {
  // "frame" that is not a text gives way to a boolean "abort".
  for (const std::string input : {"{\"abort\":true}\n", "{\"frame\":1,\"abort\":true}"}) {
    const ChildResult run = runTask(task(), input, kStandInProgram);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(lastLine(run.err), "{\"output\":null,\"progress\":{\"total\":-1.0},\"state\":13}")
        << input;
    EXPECT_EQ(splitLines(run.err).size(), 2u);
  }
}

}  // namespace
