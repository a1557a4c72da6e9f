#include "chain_defaults.h"

#include "framework/projection.h"

namespace chain_defaults {

using nlohmann::json;

const json& locate() {
  static const json doc = {{"method", "legacy_sfm"}};
  return doc;
}

const json& dense() {
  static const json doc = {
      {"method", "legacy_pf"}, {"scale", 4.0}, {"tiling", {{"format", "pnts"}}}};
  return doc;
}

const json& dom() {
  static const json doc = {
      {"method", "legacy_tf"},
      {"scale", 4.0},
      {"max_zoom_level", fw::kDeepestZoom},
      {"tiling",
       {{"scheme", 1}, {"tile_size", {256, 256}}, {"tile_format", "png"}, {"storage", 2}}}};
  return doc;
}

const json& dsm() {
  static const json doc = {
      {"method", "legacy_tf"},
      {"scale", 4.0},
      {"tiling", {{"scheme", 1}, {"tile_size", {64, 64}}, {"tile_format", "tif"}, {"storage", 2}}}};
  return doc;
}

const json& sfmNode() {
  static const json doc = {{"specific", {{"globalsfm.intrinsic_refinement", "ADJUST_ALL"}}}};
  return doc;
}

const json& slamNode() {
  static const json doc = {
      {"vocabulary_path", "./libs/slam3/vocabulary.bin"},
      {"system_parameters",
       {{"feature_type", "SIFT"}, {"handle_frame", true}, {"handle_map", false}}},
      {"exif_parameters", {{"enable_gps", true}}},
      {"performance_parameters",
       {{"time_check", true},
        {"time_check_save", false},
        {"time_check_write_path", ""},
        {"pose_check", false},
        {"pose_check_write_path", ""}}}};
  return doc;
}

const json& pointFusionNode() {
  static const json doc = {{"specific", {{"pointsfusion.dense_method", 3}}}};
  return doc;
}

const json& pixelFusionNode() {
  static const json doc = {{"specific", {{"terrainfusion.render_mode", 2}}}};
  return doc;
}

const json& terrainFusion() {
  static const json doc = {{"specific",
                            {{"terrainfusion.max_zoom", fw::kDeepestZoom},
                             {"terrainfusion.cache_size", 4096},
                             {"terrainfusion.coordinate", "GPS"},
                             {"terrainfusion.render_mode", 3},
                             {"terrainfusion.auto_zoom", 0}}}};
  return doc;
}

}  // namespace chain_defaults

void deepMerge(nlohmann::json& into, const nlohmann::json& from) {
  if (!from.is_object()) {
    into = from;
    return;
  }
  if (!into.is_object()) into = nlohmann::json::object();
  for (auto member = from.begin(); member != from.end(); ++member) {
    if (member.value().is_object()) {
      deepMerge(into[member.key()], member.value());
    } else {
      into[member.key()] = member.value();
    }
  }
}
