#include "refinement_options.h"

#include <stdexcept>
#include <string>

namespace sfm {

void RefinementOptions::check() const {
  if (window_size < 2) throw std::invalid_argument("the refinement window needs at least 2 frames");
  if (first_window < 2)
    throw std::invalid_argument("the first refinement window needs at least 2 frames");
  if (max_features < 50) throw std::invalid_argument("at least 50 features per frame are needed");
  if (image_long_side < 320)
    throw std::invalid_argument("the reduced image needs a long side of at least 320 pixels");
  if (!(search_sigmas >= 0.0)) throw std::invalid_argument("the search reach must not be negative");
  if (!(ratio > 0.0 && ratio < 1.0))
    throw std::invalid_argument("the ratio test needs a ratio in (0, 1)");
  if (!(loss_scale > 0.0) || !(ransac_threshold > 0.0))
    throw std::invalid_argument("pixel thresholds must be positive");
  if (min_inliers < 8 || min_points < 8 || points_per_frame < min_points)
    throw std::invalid_argument("at least 8 inliers and points are needed");
  if (!(min_parallax >= 0.0))
    throw std::invalid_argument("the least parallax must not be negative");
  if (partners < 0 || neighbour_count < 0 ||
      stored_frames < longestFirstWindow() + neighbour_count) {
    throw std::invalid_argument("the feature store must hold the window and the neighbours");
  }
  if (!(least_gps_sigma > 0.0)) throw std::invalid_argument("the least GPS sigma must be positive");
  if (!(gps_lever_sigma > 0.0) || !(gps_drift_share > 0.0))
    throw std::invalid_argument("the GPS lever's and drift's sigmas must be positive");
  if (!(max_gps_sigmas > 0.0) || !(max_turn > 0.0))
    throw std::invalid_argument("the largest pose change must be positive");
  if (!(min_distance_share >= 0.0 && min_distance_share < 1.0))
    throw std::invalid_argument("the least distance share must be in [0, 1)");
  if (!(yaw_sigma > 0.0) || !(untold_tilt_sigma > 0.0) || !(focal_sigma > 0.0))
    throw std::invalid_argument("prior sigmas must be positive");
  if (!(focal_significance >= 0.0) || !(focal_precision > 0.0))
    throw std::invalid_argument("the focal length's significance and precision must be positive");
  if (threads < 1) throw std::invalid_argument("the solver needs at least one thread");
}

namespace {

template <typename T>
void read(const nlohmann::json& specific, const char* key, T* value) {
  const auto it = specific.find(key);
  if (it == specific.end()) return;
  // Settings may come as text, the way the configuration store keeps them.
  if (it->is_string()) {
    const nlohmann::json parsed = nlohmann::json::parse(it->get<std::string>(), nullptr, false);
    if (parsed.is_discarded())
      throw std::invalid_argument(std::string("unreadable value of ") + key);
    *value = parsed.get<T>();
    return;
  }
  *value = it->get<T>();
}

}  // namespace

void applySpecific(const nlohmann::json& specific, RefinementOptions* options) {
  if (!specific.is_object()) return;
  try {
    read(specific, "sfm.refine.enabled", &options->enabled);
    read(specific, "sfm.refine.window_size", &options->window_size);
    read(specific, "sfm.refine.first_window", &options->first_window);
    read(specific, "sfm.refine.longest_first_window", &options->longest_first_window);
    read(specific, "sfm.refine.max_features", &options->max_features);
    read(specific, "sfm.refine.image_long_side", &options->image_long_side);
    read(specific, "sfm.refine.ratio", &options->ratio);
    read(specific, "sfm.refine.search_sigmas", &options->search_sigmas);
    read(specific, "sfm.refine.loss_scale", &options->loss_scale);
    read(specific, "sfm.refine.threads", &options->threads);
    read(specific, "sfm.refine.max_gps_sigmas", &options->max_gps_sigmas);
    read(specific, "sfm.refine.least_gps_sigma", &options->least_gps_sigma);
    read(specific, "sfm.refine.gps_lever_sigma", &options->gps_lever_sigma);
    read(specific, "sfm.refine.gps_drift_share", &options->gps_drift_share);
    read(specific, "sfm.refine.yaw_sigma", &options->yaw_sigma);
    read(specific, "sfm.refine.focal_significance", &options->focal_significance);
    read(specific, "sfm.refine.focal_precision", &options->focal_precision);
  } catch (const nlohmann::json::exception& e) {
    throw std::invalid_argument(e.what());
  }
  const auto detector = specific.find("sfm.refine.detector");
  if (detector != specific.end()) {
    if (*detector == "ORB") {
      options->detector = FeatureDetector::kOrb;
    } else if (*detector == "SIFT") {
      options->detector = FeatureDetector::kSift;
    } else {
      throw std::invalid_argument("unknown sfm.refine.detector: " + detector->dump());
    }
  }
  const auto mode = specific.find("globalsfm.intrinsic_refinement");
  if (mode == specific.end()) return;
  if (!mode->is_string())
    throw std::invalid_argument("globalsfm.intrinsic_refinement must be a text");
  const std::string name = mode->get<std::string>();
  if (name == "ADJUST_ALL") {
    options->intrinsics = IntrinsicRefinement::kAll;
  } else if (name == "ADJUST_FOCAL_LENGTH") {
    options->intrinsics = IntrinsicRefinement::kFocalLength;
  } else if (name == "NONE") {
    options->intrinsics = IntrinsicRefinement::kNone;
  } else {
    throw std::invalid_argument("unknown globalsfm.intrinsic_refinement: " + name);
  }
}

}  // namespace sfm
