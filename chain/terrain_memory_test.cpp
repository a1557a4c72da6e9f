#include "terrain_memory.h"

#include "testsupport/scoped_env.h"

#include <gtest/gtest.h>

namespace {

nlohmann::json legacyTf(const nlohmann::json& extra) {
  nlohmann::json config = {{"work_dir", "/nowhere"},
                           {"dom", nlohmann::json::object()},
                           {"dsm", nlohmann::json::object()}};
  config.merge_patch(extra);
  return config;
}

bool mentions(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(TerrainMemory, SettingsThatCannotFitAreRefusedNamingTheKey) {
  const nlohmann::json budget = {
      {"specific", {{"terrainfusion.memory_budget_mb", 8192}, {"terrainfusion.threads", 4}}}};
  EXPECT_EQ(terrain_memory::settingsError(legacyTf(budget)), "");
  nlohmann::json fine = budget;
  fine["dom"]["scale"] = 0.5;
  EXPECT_EQ(terrain_memory::settingsError(legacyTf(fine)), "");

  nlohmann::json tiny = budget;
  tiny["dom"]["scale"] = 1e-6;
  const std::string error = terrain_memory::settingsError(legacyTf(tiny));
  EXPECT_TRUE(mentions(error, "dom.scale 1e-06")) << error;
  EXPECT_TRUE(mentions(error, "20 zoom levels")) << error;
  EXPECT_TRUE(mentions(error, "at least 0.125")) << error;  // 2048 MB a worker: 3 steps
  EXPECT_EQ(terrainSettingsError(legacyTf(tiny).dump()), error);

  // The same keys nested, and a number given as text, are read as the node reads them.
  const nlohmann::json nested = {
      {"dom", {{"scale", 1e-6}}},
      {"specific", {{"terrainfusion", {{"memory_budget_mb", "8192"}, {"threads", 4}}}}}};
  EXPECT_EQ(terrain_memory::settingsError(legacyTf(nested)), error);

  // A cache larger than half the budget is kept at half, not refused.
  nlohmann::json cache = budget;
  cache["specific"]["terrainfusion.cache_size"] = 100000;
  EXPECT_EQ(terrain_memory::settingsError(legacyTf(cache)), "");
  nlohmann::json negative = budget;
  negative["specific"]["terrainfusion.memory_budget_mb"] = -5;
  EXPECT_TRUE(mentions(terrain_memory::settingsError(legacyTf(negative)),
                       "terrainfusion.memory_budget_mb -5"));
  EXPECT_TRUE(mentions(terrainSettingsError("{not json"), "not JSON"));
}

TEST(TerrainMemory, ABudgetIsSharedByTheWorkersAndDefaultsToHalfTheMemory) {
  std::string error;
  const auto s = terrain_memory::settingsOf(
      legacyTf(
          {{"specific", {{"terrainfusion.memory_budget_mb", 1000}, {"terrainfusion.threads", 0}}}}),
      error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(s.workers, 1);  // the node runs at least one
  // The default cache of 1000 tiles asks more than half of 1000 MB: it keeps 568 tiles.
  EXPECT_EQ(s.cacheTilesAllowed(), 568.0);
  EXPECT_DOUBLE_EQ(s.frameBudgetBytes(), 1000.0 * 1024 * 1024 - 568 * 900.0 * 1024);
  EXPECT_GT(terrain_memory::defaultBudgetBytes(), 0.0);
  EXPECT_EQ(terrain_memory::frameError(s, 1e6), "");
  EXPECT_TRUE(mentions(terrain_memory::frameError(s, 1e9), "raise dom.scale"));
}

// The budget and the worker count are found where the node's store finds them, the
// environment included, and a worker count's memory share must hold a frame.
TEST(TerrainMemory, WorkersAndBudgetAreReadAsTheNodeReadsThemAndMustFitTogether) {
  std::string error;
  {
    const vmtest::ScopedEnv budget("terrainfusion.memory_budget_mb", "1000");
    const vmtest::ScopedEnv threads("terrainfusion.threads", "3");
    const auto s = terrain_memory::settingsOf(legacyTf(nlohmann::json::object()), error);
    EXPECT_EQ(s.budgetBytes, 1000.0 * 1024 * 1024);
    EXPECT_EQ(s.workers, 3);
  }
  EXPECT_EQ(error, "");
  nlohmann::json config = legacyTf(nlohmann::json::object());
  config["specific"]["terrainfusion.memory_budget_mb"] = nullptr;  // a patch would drop it
  EXPECT_TRUE(mentions(terrain_memory::settingsError(config),
                       "terrainfusion.memory_budget_mb null is not a positive number of MB"));
  // 16 workers on 20 MB: each share is too small for a frame, and 8 workers would fit.
  const std::string crowded = terrain_memory::settingsError(legacyTf(
      {{"specific", {{"terrainfusion.memory_budget_mb", 20}, {"terrainfusion.threads", 16}}},
       {"dom", {{"scale", 4.0}}}}));
  EXPECT_TRUE(mentions(crowded, "terrainfusion.threads 16 leaves too little memory")) << crowded;
  EXPECT_TRUE(mentions(crowded, "use at most 8 threads")) << crowded;
}

}  // namespace
