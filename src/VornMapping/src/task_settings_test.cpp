// Settings a run cannot honour are refused at start with the key in the error; settings it can
// honour pass, also when given in the forms the chain configuration completes.
#include "task_settings.h"
#include "chain_config.h"

#include "framework/thread_limit.h"
#include "scoped_env.h"

#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

namespace {

using nlohmann::json;

// The task as the entry point checks it: completed with the defaults.
std::string problemOf(json task) {
  task["home"] = "/h";
  if (task.contains("locate") && !task["locate"].contains("method"))
    task["locate"]["method"] = "legacy_sfm";
  if (!task.contains("dataset")) task["dataset"] = {{"live", true}, {"form", "zel_frame"}};
  const json given = task;
  std::ostringstream out;
  rebuildTask(task, "/h", "/h/.cache", out);
  return taskSettingsProblem(task, given);
}

TEST(TaskSettings, TheDefaultsAndValuesTheRunHonoursPass) {
  EXPECT_EQ(problemOf(json::object()), "");
  EXPECT_EQ(problemOf({{"dom", {{"tiling", {{"storage", 1}}}}},
                       {"dsm", {{"tiling", {{"storage", 1.0}, {"tile_format", "tiff"}}}}}}),
            "");
  EXPECT_EQ(
      problemOf({{"dataset", {{"live", true}, {"max_megapixels", 40}}},
                 {"dense",
                  {{"legacy_tf",
                    {{"specific",
                      {{"terrainfusion.cache_size", 64}, {"terrainfusion.render_mode", 2}}}}}}}}),
      "");
  EXPECT_EQ(problemOf({{"dom", {{"scale", 256}, {"max_zoom_level", 10}}}}), "");
  EXPECT_EQ(problemOf({{"dom", 5}, {"dsm", "x"}}), "");  // replaced by the defaults, as before
  // The DSM's default storage gives way to the DOM's, which chooses the store of both.
  EXPECT_EQ(problemOf({{"dom", {{"tiling", {{"storage", 1}}}}}}), "");
}

TEST(TaskSettings, WrongTypesAndValuesAreRefusedByKey) {
  const std::vector<std::pair<json, std::string>> cases = {
      {{{"dom", {{"tiling", {{"storage", nullptr}}}}}},
       "dom.tiling.storage must be 1 (tile files) or 2 (MBTiles), not null"},
      {{{"dom", {{"tiling", {{"storage", true}}}}}}, "dom.tiling.storage must be 1"},
      {{{"dom", {{"tiling", {{"storage", 1.5}}}}}}, "dom.tiling.storage must be 1"},
      {{{"dom", {{"tiling", {{"storage", "1"}}}}}},
       "dom.tiling.storage must be 1 (tile files) or 2 (MBTiles), not \"1\""},
      {{{"dom", {{"tiling", {{"storage", 3}}}}}}, "dom.tiling.storage"},
      {{{"dom", {{"tiling", {{"tile_size", 0}}}}}}, "dom.tiling.tile_size must be [256,256]"},
      {{{"dom", {{"tiling", {{"tile_size", {100000, 100000}}}}}}}, "dom.tiling.tile_size"},
      {{{"dsm", {{"tiling", {{"tile_size", {-64, -64}}}}}}},
       "dsm.tiling.tile_size must be [64,64]"},
      {{{"dom", {{"tiling", {{"tile_size", "256"}}}}}}, "dom.tiling.tile_size"},
      {{{"dom", {{"tiling", {{"tile_format", "gif"}}}}}}, "dom.tiling.tile_format must be \"png\""},
      {{{"dsm", {{"tiling", {{"tile_format", "png"}}}}}},
       "dsm.tiling.tile_format must be \"tif\" or \"tiff\""},
      {{{"dom", {{"tiling", {{"scheme", 99}}}}}}, "dom.tiling.scheme must be 1"},
      {{{"dom", {{"tiling", 7}}}}, "dom.tiling must be an object, not 7"},
      {{{"dom", {{"max_zoom_level", 27}}}},
       "dom.max_zoom_level must be a whole number from 10 to 26"},
      {{{"dom", {{"scale", -1}}}}, "dom.scale must be a positive number"},
      {{{"dom", {{"scale", 1e308}}}},
       "dom.scale must be at most 256 (the DOM 8 zoom levels coarser than the frames), not 1e+308"},
      {{{"dom", {{"scale", 1e6}}}}, "dom.scale must be at most 256"},
      {{{"dom", {{"max_zoom_level", 0}}}}, "dom.max_zoom_level must be a whole number from 10"},
      {{{"dom", {{"max_zoom_level", 9}}}}, "dom.max_zoom_level must be a whole number from 10"},
      {{{"locate", {{"specific", {{"sfm.refine.ratio", "many"}}}}}},
       "sfm.refine.ratio must be a number, not \"many\""},
      {{{"dense", {{"scale", "4"}}}}, "dense.scale must be a positive number"},
      {{{"dense", {{"tiling", {{"format", "las"}}}}}}, "dense.tiling.format must be \"pnts\""},
      {{{"dom", {{"tiling", {{"storage", 1}}}}}, {"dsm", {{"tiling", {{"storage", 2}}}}}},
       "dsm.tiling.storage must equal dom.tiling.storage (1)"},
      {{{"dense", {{"legacy_tf", {{"specific", {{"terrainfusion.render_mode", 99}}}}}}}},
       "dense.legacy_tf.specific.terrainfusion.render_mode must be 2 (DSM stitching) or 3"},
      {{{"dense", {{"legacy_tf", {{"specific", {{"terrainfusion", {{"cache_size", 0}}}}}}}}}},
       "dense.legacy_tf.specific.terrainfusion.cache_size must be a whole number from 1"},
      {{{"dense", {{"specific", {{"terrainfusion.cache_size", -1}}}}}},
       "dense.specific.terrainfusion.cache_size must be a whole number from 1"},
      {{{"dataset", {{"live", true}, {"max_megapixels", "40"}}}},
       "dataset.max_megapixels must be a whole number from 1"},
      {{{"dataset", {{"live", true}, {"decode_budget_mb", 0}}}},
       "dataset.decode_budget_mb must be a whole number from 1"},
  };
  for (const auto& [task, expected] : cases) {
    const std::string problem = problemOf(task);
    EXPECT_EQ(problem.rfind(expected, 0), 0u) << task.dump() << "\n  gave: " << problem;
  }
}

TEST(TaskSettings, PathSettingsWithANulByteAreRefused) {
  const std::string nul("/h/dom\0/elsewhere", 17);
  for (const auto& [task, key] : std::vector<std::pair<json, std::string>>{
           {{{"dom", {{"tiling", {{"location", nul}}}}}}, "dom.tiling.location"},
           {{{"dsm", {{"tiling", {{"location", nul}}}}}}, "dsm.tiling.location"},
           {{{"dense", {{"tiling", {{"location", nul}}}}}}, "dense.tiling.location"},
           {{{"dense", {{"work_dir", nul}}}}, "dense.work_dir"},
           {{{"locate", {{"method", "legacy_sfm"}, {"work_dir", nul}}}}, "locate.work_dir"},
           {{{"dataset", {{"form", "zel_frame"}, {"uri", nul}}}}, "dataset.uri"}}) {
    EXPECT_EQ(problemOf(task), key + " must not hold a NUL byte, not \"/h/dom\\u0000/elsewhere\"")
        << task.dump();
  }
}

bool startsWith(const std::string& text, const std::string& start) {
  return text.rfind(start, 0) == 0;
}

json at(const std::vector<std::string>& path, const json& value) {
  json doc = value;
  for (auto it = path.rbegin(); it != path.rend(); ++it) doc = json{{*it, doc}};
  return doc;
}

// Thread counts take a whole number from 1 to the machine's limit, the terrain budget a number
// of MB the process may have, wherever the stage reads them; numbers in text count.
TEST(TaskSettings, ThreadCountsAndBudgetsAreBoundedByTheMachine) {
  const std::string threads = "must be a whole number from 1 to " +
                              std::to_string(fw::maxThreadSetting()) +
                              " (4 per hardware thread, at least 16), not ";
  const std::vector<json> notCounts = {
      "NaN", -1, 0, 0.5, true, nullptr, json::array(), json::object(), 1e308, 1000000, "4x"};
  const std::vector<std::tuple<std::vector<std::string>, std::vector<json>, std::string>> cases = {
      {{"locate", "specific", "sfm.refine.threads"}, notCounts, threads},
      {{"dense", "specific", "pointsfusion.dense_thread_num"}, notCounts, threads},
      {{"dense", "legacy_tf", "specific", "terrainfusion.threads"}, notCounts, threads},
      {{"dense", "legacy_tf", "specific", "terrainfusion.memory_budget_mb"},
       {true, nullptr, json::array(), json::object(), 0, "NaN", 1e12},
       "must be a number of MB above 0 and at most the memory the process may use ("}};
  for (const auto& [path, refused, rule] : cases) {
    const std::string key =
        path[0] + "." + path[1] + "." + path[2] + (path.size() > 3 ? "." + path[3] : "");
    for (const json& value : refused) {
      const std::string problem = problemOf(at(path, value));
      EXPECT_TRUE(startsWith(problem, key + " " + rule)) << value.dump() << " gave: " << problem;
    }
    for (const json& value : {json(1), json("4"), json(4.0)})
      EXPECT_EQ(problemOf(at(path, value)), "") << key << value;
  }
}

// Settings the task leaves out may come from environment variables of the same name: they
// meet the same bounds, and the error says where the value came from.
TEST(TaskSettings, SettingsFromTheEnvironmentAreCheckedAlike) {
  for (const auto& [name, value] :
       std::vector<std::pair<std::string, std::string>>{{"sfm.refine.threads", "1000000"},
                                                        {"pointsfusion.dense_thread_num", "0.5"},
                                                        {"terrainfusion.threads", "NaN"},
                                                        {"terrainfusion.memory_budget_mb", "true"},
                                                        {"dataset.max_megapixels", "0"}}) {
    const vmtest::ScopedEnv env(name, value);
    EXPECT_TRUE(startsWith(problemOf(json::object()), name + " (from the environment) must be"))
        << problemOf(json::object());
  }
  const vmtest::ScopedEnv window("sfm.refine.window_size", "1");
  EXPECT_EQ(problemOf(json::object()), "sfm.refine.window_size must be from 2 to 1000 frames");
  // A value the task gives is the one the stage reads: the environment's is not looked at.
  EXPECT_EQ(problemOf(at({"locate", "specific", "sfm.refine.window_size"}, 4)), "");
}

TEST(TaskSettings, TerrainSettingsOfTheDenseStageReachTheTerrainNode) {
  json task = {{"home", "/h"},
               {"dataset", {{"live", true}}},
               {"dense", {{"legacy_tf", {{"specific", {{"terrainfusion.cache_size", 64}}}}}}}};
  std::ostringstream out;
  const json rebuilt = rebuildTask(task, "/h", "/h/.cache", out);
  const json& terrain = rebuilt["chain"][1]["config"]["legacy_tf"];
  EXPECT_EQ(terrain["specific"]["terrainfusion.cache_size"], 64);
  // The other defaults, the products and the working folder stay the chain's.
  EXPECT_EQ(terrain["specific"]["terrainfusion.render_mode"], 3);
  EXPECT_EQ(terrain["work_dir"], "/h/.cache/tf");
  EXPECT_EQ(terrain["dom"]["tiling"]["location"], "/h/dom");
}

}  // namespace
