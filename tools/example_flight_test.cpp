#include "example_flight.h"

#include "geo_frame.h"
#include "marker_finder.h"
#include "rendered_view_cache.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <fstream>

namespace flight {
namespace {

// A small, quickly rendered survey: 2 strips of 4 frames at 60 m.
ExampleFlightOptions smallFlight() {
  ExampleFlightOptions o;
  o.flight.camera.width = 400;
  o.flight.camera.height = 300;
  o.flight.camera.fx = o.flight.camera.fy = 340;
  o.flight.height = 60;
  o.flight.frames_per_strip = 4;
  o.texel = 0.1;
  return o;
}

TEST(FlightPlan, FliesParallelStripsWithTheAskedOverlap) {
  FlightOptions o = smallFlight().flight;
  o.attitude_jitter = 0;
  o.height_jitter = 0;
  const FlightPlan plan = planFlight(o);
  ASSERT_EQ(plan.frames.size(), 8u);
  const double along = (1 - o.forward_overlap) * o.camera.height * o.height / o.camera.fy;
  const double across = (1 - o.side_overlap) * o.camera.width * o.height / o.camera.fx;
  for (size_t i = 0; i < plan.frames.size(); ++i) {
    const PlannedFrame& f = plan.frames[i];
    const bool northbound = i < 4;
    EXPECT_NEAR(f.true_attitude[1], northbound ? 0.0 : 180.0, 1e-12);
    EXPECT_NEAR(f.true_attitude[0], -90.0, 1e-12);
    EXPECT_NEAR(f.placement.position[2], o.height, 1e-4);
    EXPECT_NEAR(f.relative_altitude, o.height, 1e-9);
    EXPECT_NEAR(f.placement.position[0], northbound ? -across / 2 : across / 2, 1e-4);
    if (i % 4 != 0) {
      const cv::Vec3d step = f.placement.position - plan.frames[i - 1].placement.position;
      EXPECT_NEAR(step[1], northbound ? along : -along, 1e-4);
      EXPECT_NEAR(f.timestamp - plan.frames[i - 1].timestamp, o.frame_interval, 1e-9);
    }
    EXPECT_EQ(f.recorded_geodetic, f.true_geodetic);
    EXPECT_EQ(f.recorded_attitude, f.true_attitude);
  }
  // The area covers every footprint, with room for relief and tilt.
  EXPECT_LT(plan.scene.east_min, -across / 2 - o.camera.width / 2.0 / o.camera.fx * o.height);
  EXPECT_GT(plan.scene.north_max, 1.5 * along + o.camera.height / 2.0 / o.camera.fy * o.height);
}

TEST(FlightPlan, NoiseChangesOnlyWhatIsRecordedAndBadOptionsAreRefused) {
  FlightOptions o = smallFlight().flight;
  const FlightPlan clean = planFlight(o);
  o.gps_noise = 2.0;
  o.attitude_noise = 1.0;
  const FlightPlan noisy = planFlight(o);
  double position_error = 0, attitude_error = 0;
  for (size_t i = 0; i < noisy.frames.size(); ++i) {
    const PlannedFrame& f = noisy.frames[i];
    const cv::Vec3d a =
        ecefFromGeodetic(f.true_geodetic[0], f.true_geodetic[1], f.true_geodetic[2]);
    const cv::Vec3d b =
        ecefFromGeodetic(f.recorded_geodetic[0], f.recorded_geodetic[1], f.recorded_geodetic[2]);
    position_error += cv::norm(a - b) / noisy.frames.size();
    attitude_error += cv::norm(f.true_attitude - f.recorded_attitude) / noisy.frames.size();
    EXPECT_LT(cv::norm(f.placement.position - clean.frames[i].placement.position), 100.0);
  }
  EXPECT_GT(position_error, 1.0);
  EXPECT_LT(position_error, 8.0);
  EXPECT_GT(attitude_error, 0.5);
  EXPECT_LT(attitude_error, 4.0);
  FlightOptions bad = smallFlight().flight;
  bad.forward_overlap = 1.0;
  EXPECT_THROW(planFlight(bad), std::invalid_argument);
  bad = smallFlight().flight;
  bad.strips = 0;
  EXPECT_THROW(planFlight(bad), std::invalid_argument);
}

TEST(ExampleFlight, RenderedDepthsLieOnTheSurfaceAndMarkersWhereTheyProject) {
  const ExampleFlight flight = makeExampleFlight(smallFlight());
  const PinholeCamera& cam = flight.plan.options.camera;
  const SyntheticScene& scene = *flight.scene;
  int markers_seen = 0;
  double worst = 0;
  const std::vector<RenderedView> views = renderAllFrames(flight, VM_RENDER_CACHE);
  for (size_t i = 0; i < flight.plan.frames.size(); i += 3) {
    const CameraPlacement& p = flight.plan.frames[i].placement;
    const RenderedView& view = views[i];
    int on_surface = 0, checked = 0;
    for (int r = 0; r < cam.height; r += 7) {
      for (int c = 0; c < cam.width; c += 7) {
        const float depth = view.depth.at<float>(r, c);
        ASSERT_GT(depth, 0.0f);
        const cv::Vec3d x =
            p.position + p.enu_from_camera *
                             (cv::Vec3d((c - cam.cx) / cam.fx, (r - cam.cy) / cam.fy, 1.0) * depth);
        ++checked;
        if (std::abs(x[2] - scene.surfaceHeight(x[0], x[1])) < 1e-3) ++on_surface;
      }
    }
    // Only points on walls (below their roof) are off the height field.
    EXPECT_GT(on_surface, 0.9 * checked);
    for (const cv::Vec3d& m : scene.markers()) {
      const cv::Vec3d q = p.enu_from_camera.t() * (m - p.position);
      const cv::Point2d uv(cam.fx * q[0] / q[2] + cam.cx, cam.fy * q[1] / q[2] + cam.cy);
      if (uv.x < 10 || uv.y < 10 || uv.x > cam.width - 11 || uv.y > cam.height - 11) continue;
      if (std::abs(view.depth.at<float>(cvRound(uv.y), cvRound(uv.x)) - q[2]) > 0.1)
        continue;  // hidden
      const double radius = (scene.options().marker_radius + 0.25) * cam.fx / q[2];
      cv::Point2d found;
      ASSERT_TRUE(findMarkerCentre(view.image, uv, radius, &found));
      worst = std::max(worst, cv::norm(found - uv));
      ++markers_seen;
    }
  }
  EXPECT_GT(markers_seen, 10);
  EXPECT_LT(worst, 0.2);
}

TEST(ExampleFlight, WritesImagesAFrameListAndReadableGroundTruth) {
  vmtest::TempDir dir;
  ExampleFlightOptions options = smallFlight();
  options.flight.frames_per_strip = 3;
  options.flight.focal_error = 0.03;
  const ExampleFlight flight = makeExampleFlight(options);
  const WrittenFlight written =
      writeExampleFlight(flight, renderAllFrames(flight, VM_RENDER_CACHE), dir.path());
  ASSERT_EQ(written.images.size(), 6u);

  std::ifstream in(written.frame_list);
  const nlohmann::json frames = nlohmann::json::parse(in);
  ASSERT_TRUE(frames.is_array());
  ASSERT_EQ(frames.size(), 6u);
  for (size_t i = 0; i < frames.size(); ++i) {
    const nlohmann::json& f = frames[i];
    for (const char* key : {"uri", "timestamp", "gps", "rtk_std", "relative_altitude", "attitude",
                            "attitide_std", "calibration"}) {
      EXPECT_TRUE(f.contains(key)) << key;
    }
    const cv::Mat image = cv::imread(f["uri"].get<std::string>());
    EXPECT_EQ(image.cols, 400);
    EXPECT_EQ(image.rows, 300);
    EXPECT_EQ(f["calibration"]["cx"].get<double>(), 199.5);
    EXPECT_DOUBLE_EQ(f["calibration"]["fx"].get<double>(), 340 * 1.03)
        << "the recorded focal length is off";
    EXPECT_EQ(f["gps"]["latitude"].get<double>(), flight.plan.frames[i].recorded_geodetic[0]);
    EXPECT_EQ(f["attitude"]["yaw"].get<double>(), flight.plan.frames[i].recorded_attitude[1]);
    EXPECT_LT(f["rtk_std"]["longitude"].get<double>(), 10.0);
  }

  const GroundTruth truth = readGroundTruth(written.truth_folder);
  EXPECT_EQ(cv::norm(truth.height, flight.scene->heightMap(), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(truth.orthophoto, flight.scene->orthophoto(), cv::NORM_INF), 0.0);
  ASSERT_EQ(truth.markers.size(), flight.scene->markers().size());
  const FlightOptions& o = flight.plan.options;
  const cv::Vec3d origin = ecefFromGeodetic(o.latitude, o.longitude, o.ground_altitude);
  for (size_t i = 0; i < truth.markers.size(); ++i) {
    const cv::Vec3d& g = truth.marker_geodetic[i];
    const cv::Vec3d enu =
        ecefFromEnu(o.latitude, o.longitude).t() * (ecefFromGeodetic(g[0], g[1], g[2]) - origin);
    EXPECT_LT(cv::norm(enu - truth.markers[i]), 1e-3);
  }
  EXPECT_THROW(readGroundTruth(dir.path()), std::runtime_error);
}

TEST(RenderedViewCache, ReadsWhatItRenderedAndRendersAgainForAnotherFlightOrABrokenFile) {
  vmtest::TempDir dir;
  ExampleFlightOptions options = smallFlight();
  options.flight.frames_per_strip = 2;
  const ExampleFlight flight = makeExampleFlight(options);
  const std::vector<RenderedView> first = renderAllFrames(flight, dir.path());
  ASSERT_EQ(first.size(), 4u);
  auto files = [&] {
    std::vector<std::filesystem::path> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
      found.push_back(entry.path());
    return found;
  };
  ASSERT_EQ(files().size(), 1u) << "one finished file, no partial one left";
  auto same = [](const std::vector<RenderedView>& a, const std::vector<RenderedView>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      if (cv::norm(a[i].image, b[i].image, cv::NORM_INF) != 0 ||
          cv::norm(a[i].depth, b[i].depth, cv::NORM_INF) != 0)
        return false;
    }
    return true;
  };
  EXPECT_TRUE(same(renderAllFrames(flight, dir.path()), first));
  EXPECT_TRUE(same(first, {renderFrame(flight, 0), renderFrame(flight, 1), renderFrame(flight, 2),
                           renderFrame(flight, 3)}));

  options.scene_seed = 8;
  const ExampleFlight other = makeExampleFlight(options);
  EXPECT_FALSE(same(renderAllFrames(other, dir.path()), first));
  EXPECT_EQ(files().size(), 2u);

  std::filesystem::resize_file(files()[0], 100);  // a truncated cache file
  std::filesystem::resize_file(files()[1], 100);
  EXPECT_TRUE(same(renderAllFrames(flight, dir.path()), first));
}

}  // namespace
}  // namespace flight
