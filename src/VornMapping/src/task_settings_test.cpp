// Settings a run cannot honour are refused at start with the key in the error; settings it can
// honour pass, also when given in the forms the chain configuration completes.
#include "task_settings.h"
#include "chain_config.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using nlohmann::json;

// The task as the entry point checks it: completed with the defaults.
std::string problemOf(json task) {
  task["home"] = "/h";
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
       "dom.max_zoom_level must be a whole number from 0 to 26"},
      {{{"dom", {{"scale", -1}}}}, "dom.scale must be a positive number"},
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
