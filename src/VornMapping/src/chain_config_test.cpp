#include "chain_config.h"
#include "chain_defaults.h"
#include "error_result.h"

#include "framework/frame_image_decoding.h"
#include "testsupport/scoped_env.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using nlohmann::json;

TEST(DeepMerge, MergesObjectsMemberByMemberAndReplacesEverythingElse) {
  json into = {{"a", 1}, {"nested", {{"keep", true}, {"change", 1}}}, {"scalar", 3}};
  deepMerge(
      into,
      {{"nested", {{"change", 2}, {"add", "x"}}}, {"scalar", {{"now", "object"}}}, {"b", {1, 2}}});
  EXPECT_EQ(into, json::parse(R"({"a":1,"b":[1,2],"nested":{"add":"x","change":2,"keep":true},
                                  "scalar":{"now":"object"}})"));

  json target = {{"a", 1}};
  deepMerge(target, json::array({1}));
  EXPECT_EQ(target, json::array({1}));
  json from_scalar = 5;
  deepMerge(from_scalar, {{"x", 1}});
  EXPECT_EQ(from_scalar, json({{"x", 1}}));
}

class ChainConfig : public ::testing::Test {
 protected:
  json rebuild(json task) {
    task["home"] = "/h";
    task["dataset"] = {{"live", true}};
    return rebuildTask(task, "/h", "/h/.cache", out_);
  }
  static const json& denseConfig(const json& rebuilt) { return rebuilt["chain"][1]["config"]; }
  std::ostringstream out_;
};

TEST_F(ChainConfig, EmptyTaskGetsEveryDefault) {
  const json rebuilt = rebuild(json::object());
  ASSERT_EQ(rebuilt["chain"].size(), 2u);
  EXPECT_EQ(rebuilt["chain"][0], json::parse(R"({"name":"legacy_sfm","type":"front_end","config":{
      "method":"legacy_sfm","work_dir":"/h/.cache/sfm",
      "specific":{"globalsfm.intrinsic_refinement":"ADJUST_ALL"}}})"));
  const json& dense = denseConfig(rebuilt);
  EXPECT_EQ(rebuilt["chain"][1]["name"], "legacy_pf");
  EXPECT_EQ(dense["tiling"]["location"], "/h/dense");
  EXPECT_EQ(dense["specific"]["pointsfusion.dense_method"], 3);
  EXPECT_EQ(dense["legacy_tf"]["dom"]["tiling"]["location"], "/h/dom");
  EXPECT_EQ(dense["legacy_tf"]["dsm"]["tiling"]["location"], "/h/dsm");
  EXPECT_EQ(dense["legacy_tf"]["work_dir"], "/h/.cache/tf");
  EXPECT_EQ(dense["legacy_tf"]["dsm"]["tiling"]["tile_size"], json({64, 64}));
  EXPECT_FALSE(dense["legacy_tf"]["dsm"].contains("max_zoom_level"));
  EXPECT_TRUE(dense["scale"].is_number_float());
  EXPECT_EQ(rebuilt["verbose"], json::parse(R"({"level":"debug","file":true,"console":false})"));
}

TEST_F(ChainConfig, TaskSettingsAreMergedOverTheDefaults) {
  const json rebuilt = rebuild(json::parse(R"({
      "locate": {"method": "legacy_sfm", "specific": {"x": 1}},
      "dense": {"scale": 2.0},
      "dom": {"tiling": {"tile_format": "jpg"}},
      "dsm": 5})"));
  const json& locate = rebuilt["chain"][0]["config"]["specific"];
  EXPECT_EQ(locate, json::parse(R"({"globalsfm.intrinsic_refinement":"ADJUST_ALL","x":1})"));

  const json& dense = denseConfig(rebuilt);
  EXPECT_EQ(dense["method"], "legacy_pf");
  EXPECT_EQ(dense["scale"], 2.0);
  EXPECT_EQ(dense["tiling"]["format"], "pnts");

  EXPECT_EQ(
      dense["legacy_tf"]["dom"]["tiling"],
      json::parse(
          R"({"scheme":1,"tile_size":[256,256],"tile_format":"jpg","storage":2,"location":"/h/dom"})"));
  // A product setting that is not an object counts as missing.
  json dsm = chain_defaults::dsm();
  dsm["tiling"]["location"] = "/h/dsm";
  EXPECT_EQ(dense["legacy_tf"]["dsm"], dsm);
}

TEST_F(ChainConfig, LocationsGivenByTheTaskStayAndLocateIsNotCompleted) {
  const json rebuilt = rebuild(json::parse(R"({
      "locate": {"method": "legacy_sfm", "work_dir": "/elsewhere"},
      "dom": {"tiling": {"location": "/tiles/dom"}},
      "dense": {"tiling": {"location": 7}}})"));
  EXPECT_EQ(rebuilt["chain"][0]["config"]["work_dir"], "/elsewhere");
  EXPECT_EQ(denseConfig(rebuilt)["legacy_tf"]["dom"]["tiling"]["location"], "/tiles/dom");
  EXPECT_EQ(denseConfig(rebuilt)["tiling"]["location"], "/h/dense");
}

TEST_F(ChainConfig, OtherFrontAndBackEndsAreBuilt) {
  const json rebuilt =
      rebuild(json::parse(R"({"locate":{"method":"zel_slam3"},"dense":{"method":"zel_pixfuse"}})"));
  EXPECT_EQ(rebuilt["chain"][0]["config"]["work_dir"], "/h/.cache/slam");
  EXPECT_EQ(rebuilt["chain"][0]["config"]["system_parameters"]["feature_type"], "SIFT");
  const json& dense = denseConfig(rebuilt);
  EXPECT_EQ(dense["work_dir"], "/h/.cache/pixfuse");
  EXPECT_EQ(dense["specific"]["terrainfusion.render_mode"], 2);
  EXPECT_EQ(dense["legacy_tf"]["specific"]["terrainfusion.render_mode"], 2);
  EXPECT_EQ(dense["legacy_tf"]["specific"]["terrainfusion.cache_size"], 4096);
}

TEST_F(ChainConfig, UnsupportedMethodsEndWithTheirCodes) {
  struct Case {
    const char* task;
    int code;
    const char* message;
  };
  const Case cases[] = {
      {R"({"locate":{"method":"orb"}})", -7, "Unsupported locate methodorb"},
      {R"({"locate":{"specific":{}}})", -7, "Unsupported locate method"},
      {R"({"locate":{"method":3}})", -7, "Unsupported locate method3"},
      {R"({"dense":{"method":"mvs"}})", -8, "Unsupported dense methodmvs"},
      {R"({"dense":{"method":null}})", -8, "Unsupported dense methodnull"},
  };
  for (const auto& c : cases) {
    try {
      rebuild(json::parse(c.task));
      ADD_FAILURE() << c.task;
    } catch (const StartupError& error) {
      EXPECT_EQ(error.code(), c.code);
      EXPECT_STREQ(error.what(), c.message);
    }
  }
}

}  // namespace

TEST_F(ChainConfig, TheFrontEndsFeatureImageSideIsTheOneTheFrontEndReads) {
  const json named = rebuild(json::parse(
      R"({"locate": {"method": "legacy_sfm", "specific": {"sfm.refine.image_long_side": 3000}}})"));
  EXPECT_EQ(frontEndFeatureImageSide(named["chain"]), 3000);
  const json asText = rebuild(json::parse(
      R"({"locate": {"method": "legacy_sfm", "specific": {"sfm.refine.image_long_side": "2500"}}})"));
  EXPECT_EQ(frontEndFeatureImageSide(asText["chain"]), 2500);
  // Named nowhere, nested, or only in the environment: as the front end reads it.
  EXPECT_EQ(frontEndFeatureImageSide(rebuild(json::object())["chain"]),
            fw::kDefaultFeatureImageLongSide);
  const json nested = rebuild(json::parse(
      R"({"locate": {"method": "legacy_sfm", "specific": {"sfm": {"refine": {"image_long_side": 2000}}}}})"));
  EXPECT_EQ(frontEndFeatureImageSide(nested["chain"]), 2000);
  {
    const vmtest::ScopedEnv side("sfm.refine.image_long_side", "2400");
    EXPECT_EQ(frontEndFeatureImageSide(rebuild(json::object())["chain"]), 2400);
    EXPECT_EQ(frontEndFeatureImageSide(named["chain"]), 3000);
  }
  for (const char* odd : {R"("30x")", "-5", "2.5", "1e12"}) {
    const json task = json::parse(std::string(R"({"locate": {"method": "legacy_sfm",
        "specific": {"sfm.refine.image_long_side": )") +
                                  odd + "}}}");
    EXPECT_EQ(frontEndFeatureImageSide(rebuild(task)["chain"]), 0) << odd;
  }
  EXPECT_EQ(frontEndFeatureImageSide(json::object()), 0);
  EXPECT_EQ(frontEndFeatureImageSide(json::array({1, "x", json::object()})), 0);
}
