#pragma once

#include "framework/map_frame.h"
#include "tools/example_flight.h"
#include "values/point.h"
#include "values/var.h"

#include <opencv2/core.hpp>

#include <filesystem>
#include <memory>
#include <vector>

// The example flight as terrain fusion receives it, with the truth in place of the dense
// stages: located GPS frames whose poses are the true earth-centred camera poses, and one
// point per 2 x 2 pixels, ray-cast against the synthetic scene.
namespace tftest {

struct TruthFlightOptions {
  int strips = 2;
  int framesPerStrip = 3;
  int width = 320;  // pixels; the focal length follows so the field of view stays the same
  int height = 240;
  double flightHeight = 50.0;  // metres above the take-off ground
  double texel = 0.1;          // metres per truth cell
  // Every this many points also becomes a key point (for the ground height and the zoom).
  int keyPointStride = 23;
  double latitude = 30.52;  // take-off point, degrees
  double longitude = 114.36;
};

struct TruthFrame {
  std::shared_ptr<fw::MapFrame> frame;
  std::vector<pi::Point3d> points;  // earth-centred metres
};

class TruthFlight {
 public:
  // Renders the frames, writes their images (PNG) into `folder` and ray-casts their points.
  TruthFlight(const TruthFlightOptions& options, const std::filesystem::path& folder);

  size_t size() const { return flight_.plan.frames.size(); }
  // A new located frame with its points (the frame is built afresh on each call).
  TruthFrame frame(size_t index) const;
  // East-north-up ground points seen at the image corners (the frame's footprint).
  const std::vector<cv::Point2d>& footprint(size_t index) const { return footprints_.at(index); }
  // The "point_cloud" message of a frame: [frame, points].
  static sv::Var pointCloudMessage(const TruthFrame& frame);

  const flight::SyntheticScene& scene() const { return *flight_.scene; }
  const flight::ExampleFlight& flight() const { return flight_; }
  // Take-off ground: latitude, longitude, ellipsoidal height.
  cv::Vec3d takeOff() const;
  // East-north-up metres at the take-off point of a geodetic position.
  cv::Vec3d enuOf(double latitude, double longitude, double height) const;

 private:
  TruthFlightOptions options_;
  flight::ExampleFlight flight_;
  std::vector<std::filesystem::path> images_;
  std::vector<std::vector<pi::Point3d>> points_;
  std::vector<std::vector<pi::Point3d>> keyPoints_;
  std::vector<std::vector<cv::Point2d>> footprints_;
};

}  // namespace tftest
