#include "refinement_options.h"

#include "framework/setting_value.h"
#include "framework/thread_limit.h"

#include <climits>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace sfm {

namespace {

[[noreturn]] void refuse(const std::string& key, const std::string& rule) {
  throw std::invalid_argument(key + " " + rule);
}

// Frames a window holds at most: each keeps its features and map points in memory until the
// window sends it.
constexpr int kMostWindowFrames = 1000;

void checkFrames(const char* key, int frames) {
  if (frames < 2 || frames > kMostWindowFrames)
    refuse(key, "must be from 2 to " + std::to_string(kMostWindowFrames) + " frames");
}

}  // namespace

void RefinementOptions::check() const {
  checkFrames("sfm.refine.window_size", window_size);
  checkFrames("sfm.refine.first_window", first_window);
  checkFrames("sfm.refine.longest_first_window", longest_first_window);
  checkFrames("sfm.refine.frame_list_window", frame_list_window);
  if (max_features < 50) refuse("sfm.refine.max_features", "must be at least 50 features");
  if (image_long_side < 320) refuse("sfm.refine.image_long_side", "must be at least 320 pixels");
  if (!(search_sigmas >= 0.0)) refuse("sfm.refine.search_sigmas", "must not be negative");
  if (!(ratio > 0.0 && ratio < 1.0)) refuse("sfm.refine.ratio", "must lie between 0 and 1");
  if (!(loss_scale > 0.0)) refuse("sfm.refine.loss_scale", "must be a positive number of pixels");
  if (!(ransac_threshold > 0.0)) refuse("the epipolar inlier threshold", "must be positive");
  if (min_inliers < 8 || min_points < 8 || points_per_frame < min_points)
    refuse("the refinement", "needs at least 8 inliers and points");
  if (!(min_parallax >= 0.0)) refuse("the least parallax", "must not be negative");
  if (partners < 0 || neighbour_count < 0) refuse("the partners", "must not be negative");
  if (!(least_gps_sigma > 0.0)) refuse("sfm.refine.least_gps_sigma", "must be positive");
  if (!(gps_lever_sigma > 0.0)) refuse("sfm.refine.gps_lever_sigma", "must be positive");
  if (!(gps_drift_share > 0.0)) refuse("sfm.refine.gps_drift_share", "must be positive");
  if (!(max_gps_sigmas > 0.0)) refuse("sfm.refine.max_gps_sigmas", "must be positive");
  if (!(max_turn > 0.0)) refuse("the largest turn", "must be positive");
  if (!(min_distance_share >= 0.0 && min_distance_share < 1.0))
    refuse("the least distance share", "must be in [0, 1)");
  if (!(yaw_sigma > 0.0)) refuse("sfm.refine.yaw_sigma", "must be positive");
  if (!(untold_tilt_sigma > 0.0) || !(focal_sigma > 0.0))
    refuse("prior sigmas", "must be positive");
  if (!(focal_significance >= 0.0)) refuse("sfm.refine.focal_significance", "must not be negative");
  if (!(focal_precision > 0.0)) refuse("sfm.refine.focal_precision", "must be positive");
  if (threads < 1 || threads > fw::maxThreadSetting()) {
    refuse("sfm.refine.threads", "must be from 1 to " + std::to_string(fw::maxThreadSetting()) +
                                     " (4 per hardware thread, at least 16), not " +
                                     std::to_string(threads));
  }
}

namespace {

// Each setting is found as the configuration store finds it (flat, nested, else in the
// environment) and must hold a value of its member's type: a number or a text holding one, a
// whole number for counts, a boolean (or "true" / "false") for switches.
void read(const nlohmann::json& specific, const char* key, int* value) {
  const auto found = fw::findSetting(specific, key);
  if (!found) return;
  const std::optional<std::int64_t> whole = fw::settingWholeNumber(found->value);
  if (!whole || *whole < INT_MIN || *whole > INT_MAX)
    refuse(key, "must be a whole number, not " + fw::shownSetting(found->value));
  *value = static_cast<int>(*whole);
}

void read(const nlohmann::json& specific, const char* key, double* value) {
  const auto found = fw::findSetting(specific, key);
  if (!found) return;
  const std::optional<double> number = fw::settingNumber(found->value);
  if (!number) refuse(key, "must be a number, not " + fw::shownSetting(found->value));
  *value = *number;
}

void read(const nlohmann::json& specific, const char* key, bool* value) {
  const auto found = fw::findSetting(specific, key);
  if (!found) return;
  const nlohmann::json& v = found->value;
  if (v.is_boolean()) {
    *value = v.get<bool>();
  } else if (v == "true" || v == "false") {
    *value = v == "true";
  } else {
    refuse(key, "must be true or false, not " + fw::shownSetting(v));
  }
}

// A setting that names one of a few choices; none when not set.
std::optional<std::string> choice(const nlohmann::json& specific, const char* key) {
  const auto found = fw::findSetting(specific, key);
  if (!found) return std::nullopt;
  if (!found->value.is_string())
    refuse(key, "must be a text, not " + fw::shownSetting(found->value));
  return found->value.get<std::string>();
}

}  // namespace

void applySpecific(const nlohmann::json& specific, RefinementOptions* options) {
  const nlohmann::json& given = specific.is_object() ? specific : nlohmann::json::object();
  read(given, "sfm.refine.enabled", &options->enabled);
  read(given, "sfm.refine.window_size", &options->window_size);
  read(given, "sfm.refine.first_window", &options->first_window);
  read(given, "sfm.refine.longest_first_window", &options->longest_first_window);
  read(given, "sfm.refine.frame_list_window", &options->frame_list_window);
  read(given, "sfm.refine.frames_arrive_live", &options->frames_arrive_live);
  read(given, "sfm.refine.max_features", &options->max_features);
  read(given, "sfm.refine.image_long_side", &options->image_long_side);
  read(given, "sfm.refine.ratio", &options->ratio);
  read(given, "sfm.refine.search_sigmas", &options->search_sigmas);
  read(given, "sfm.refine.loss_scale", &options->loss_scale);
  read(given, "sfm.refine.threads", &options->threads);
  read(given, "sfm.refine.max_gps_sigmas", &options->max_gps_sigmas);
  read(given, "sfm.refine.least_gps_sigma", &options->least_gps_sigma);
  read(given, "sfm.refine.gps_lever_sigma", &options->gps_lever_sigma);
  read(given, "sfm.refine.gps_drift_share", &options->gps_drift_share);
  read(given, "sfm.refine.yaw_sigma", &options->yaw_sigma);
  read(given, "sfm.refine.focal_significance", &options->focal_significance);
  read(given, "sfm.refine.focal_precision", &options->focal_precision);
  if (const auto detector = choice(given, "sfm.refine.detector")) {
    if (*detector == "ORB") {
      options->detector = FeatureDetector::kOrb;
    } else if (*detector == "SIFT") {
      options->detector = FeatureDetector::kSift;
    } else {
      refuse("sfm.refine.detector",
             "must be \"ORB\" or \"SIFT\", not " + fw::shownSetting(*detector));
    }
  }
  const auto mode = choice(given, "globalsfm.intrinsic_refinement");
  if (!mode) return;
  if (*mode == "ADJUST_ALL") {
    options->intrinsics = IntrinsicRefinement::kAll;
  } else if (*mode == "ADJUST_FOCAL_LENGTH") {
    options->intrinsics = IntrinsicRefinement::kFocalLength;
  } else if (*mode == "NONE") {
    options->intrinsics = IntrinsicRefinement::kNone;
  } else {
    refuse("globalsfm.intrinsic_refinement",
           "must be \"ADJUST_ALL\", \"ADJUST_FOCAL_LENGTH\" or \"NONE\", not " +
               fw::shownSetting(*mode));
  }
}

}  // namespace sfm
