#include "example_flight.h"

#include "geo_frame.h"

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>

namespace flight {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

json angles(const cv::Vec3d& a) { return {{"pitch", a[0]}, {"yaw", a[1]}, {"roll", a[2]}}; }

json cameraDocument(const PinholeCamera& c) {
  return {{"width", c.width}, {"height", c.height}, {"fx", c.fx}, {"fy", c.fy},
          {"cx", c.cx},       {"cy", c.cy},         {"k1", c.k1}, {"k2", c.k2}};
}

// The GPS error the recorded positions carry, as the flight was made to have it.
json gpsErrorModel(const FlightOptions& o) {
  return {{"lag_s", o.gps_lag},
          {"lag_m", o.gps_lag * cruiseSpeed(o)},
          {"side_offset_m", o.gps_side_offset},
          {"drift_m", o.gps_drift},
          {"drift_correlation", o.gps_drift_correlation},
          {"white_m", o.gps_noise}};
}

// The ground a frame sees, as east-north points around its image border: where the border's
// rays meet the surface (or, past the area, the take-off ground's level).
json footprint(const SyntheticScene& scene, const PinholeCamera& cam, const CameraPlacement& p) {
  constexpr int kPerSide = 8;
  json points = json::array();
  for (const cv::Point2d& b : imageBorder(cam, kPerSide)) {
    const cv::Vec3d d = p.enu_from_camera * rayThrough(cam, b.x, b.y);
    SurfaceHit hit;
    cv::Vec3d ground;
    if (scene.intersect(p.position, d, &hit)) {
      ground = hit.point;
    } else if (d[2] < 0.0) {
      ground = p.position + d * (-p.position[2] / d[2]);
    } else {
      continue;  // above the horizon
    }
    points.push_back({ground[0], ground[1]});
  }
  return points;
}

json truthFrame(const SyntheticScene& scene, const FlightPlan& plan, const PlannedFrame& f) {
  const CameraPlacement& p = f.placement;
  json rotation = json::array();
  for (int k = 0; k < 9; ++k) rotation.push_back(p.enu_from_camera.val[k]);
  return {{"latitude", f.true_geodetic[0]},
          {"longitude", f.true_geodetic[1]},
          {"altitude", f.true_geodetic[2]},
          {"attitude", angles(f.true_attitude)},
          {"east", p.position[0]},
          {"north", p.position[1]},
          {"up", p.position[2]},
          {"enu_from_camera", rotation},
          {"course", f.course},
          {"heading", f.body_attitude[0]},
          {"body_pitch", f.body_attitude[1]},
          {"body_roll", f.body_attitude[2]},
          {"in_turn", f.in_turn},
          {"gps_error", {f.gps_error[0], f.gps_error[1], f.gps_error[2]}},
          {"exposure", f.exposure},
          {"footprint", footprint(scene, plan.options.camera, p)}};
}

json frameDocument(const FlightPlan& plan, const PlannedFrame& f, const fs::path& image) {
  const FlightOptions& o = plan.options;
  const PinholeCamera camera = recordedCamera(o);
  const cv::Vec3d spread = gpsErrorSpread(o);
  const double angle_sigma = std::max(o.attitude_noise, 0.1);
  return {{"uri", image.string()},
          {"timestamp", f.timestamp},
          {"gps",
           {{"longitude", f.recorded_geodetic[1]},
            {"latitude", f.recorded_geodetic[0]},
            {"altitude", f.recorded_geodetic[2]}}},
          {"rtk_std",
           {{"longitude", std::max(spread[0], 0.02)},
            {"latitude", std::max(spread[1], 0.02)},
            {"altitude", std::max(spread[2], 0.02)}}},
          {"relative_altitude", f.relative_altitude},
          {"attitude", angles(f.recorded_attitude)},
          {"attitide_std", angles({angle_sigma, angle_sigma, angle_sigma})},
          {"calibration",
           {{"width", camera.width},
            {"height", camera.height},
            {"fx", camera.fx},
            {"fy", camera.fy},
            {"cx", camera.cx},
            {"cy", camera.cy},
            {"k1", camera.k1},
            {"k2", camera.k2},
            {"p1", 0.0},
            {"p2", 0.0},
            {"k3", 0.0}}}};
}

void writeJson(const fs::path& path, const json& doc) {
  std::ofstream out(path);
  out << doc.dump(2) << '\n';
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

ExampleFlight makeExampleFlight(const ExampleFlightOptions& options) {
  ExampleFlight flight;
  flight.plan = planFlight(options.flight);
  SceneOptions scene = flight.plan.scene;
  scene.texel = options.texel;
  scene.marker_radius = options.marker_radius;
  scene.seed = options.scene_seed;
  scene.furrowed_fields = options.furrowed_fields;
  scene.field_texture = options.field_texture;
  flight.plan.scene = scene;
  flight.scene = std::make_shared<const SyntheticScene>(scene);
  return flight;
}

ExampleFlightOptions fixedWingFlight(bool exact, int width) {
  if (width < 40) throw std::invalid_argument("a fixed-wing flight needs frames 40 pixels wide");
  ExampleFlightOptions o;
  FlightOptions& f = o.flight;
  f.camera.width = width;
  f.camera.height = width * 3 / 4;
  f.camera.fx = f.camera.fy = 0.85 * width;
  f.height = 100.0;
  f.strips = 3;
  f.frames_per_strip = 12;
  f.turn_frames = 2;  // 3 x 12 + 2 x 2 = 40 frames
  f.forward_overlap = 0.6;
  f.side_overlap = 0.3;
  f.body_wobble = 15.0;
  f.crab_angle = 15.0;
  f.attitude_jitter = 3.0;  // heading gusts
  f.height_jitter = 2.0;
  if (!exact) {
    // What a survey autopilot without RTK writes, and a calibration from the EXIF.
    f.course_as_heading = true;
    f.gps_noise = 1.5;
    f.attitude_noise = 2.0;
    f.focal_error = -0.06;
  }
  o.furrowed_fields = true;
  return o;
}

ExampleFlightOptions realFlight(bool exact, int width) {
  ExampleFlightOptions o = fixedWingFlight(exact, width);
  FlightOptions& f = o.flight;
  f.strips = 4;
  f.frames_per_strip = 13;
  f.trigger_through_turns = true;  // 4 x 13 + 3 x 4 = 64 frames
  // Slow enough to fly the half circles between the strips within the bank limit.
  f.frame_interval *= cruiseSpeed(f) / bankLimitedSpeed(f);
  f.camera.k1 = -0.03;
  f.camera.k2 = 0.01;
  f.distortion_stated = exact;
  f.vignetting = 0.35;
  f.exposure_spread = 0.1;
  if (!exact) {
    f.gps_noise = 0.3;
    f.gps_lag = 2.0 / cruiseSpeed(f);  // 2 m back along the track
    f.gps_side_offset = 1.4;
    f.gps_drift = 1.5;
    f.gps_drift_correlation = 0.7;
  }
  o.field_texture = 0.6;
  return o;
}

RenderedView renderFrame(const ExampleFlight& flight, size_t index) {
  const PlannedFrame& frame = flight.plan.frames.at(index);
  RenderedView view = renderView(*flight.scene, flight.plan.options.camera, frame.placement);
  exposeImage(&view.image, frame.exposure, flight.plan.options.vignetting);
  return view;
}

namespace {

// Writes the flight with the image of frame i from `imageOf(i)`.
WrittenFlight writeFlight(const ExampleFlight& flight, const fs::path& folder, int jpeg_quality,
                          const std::function<cv::Mat(size_t)>& imageOf) {
  WrittenFlight written;
  const fs::path root = fs::absolute(folder);
  fs::create_directories(root / "images");
  written.truth_folder = root / "truth";
  fs::create_directories(written.truth_folder);
  json frames = json::array();
  for (size_t i = 0; i < flight.plan.frames.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "frame_%04zu.jpg", i);
    const fs::path image = root / "images" / name;
    if (!cv::imwrite(image.string(), imageOf(i), {cv::IMWRITE_JPEG_QUALITY, jpeg_quality})) {
      throw std::runtime_error("cannot write " + image.string());
    }
    written.images.push_back(image);
    frames.push_back(frameDocument(flight.plan, flight.plan.frames[i], image));
  }
  written.frame_list = root / "frames.json";
  writeJson(written.frame_list, frames);

  const SyntheticScene& scene = *flight.scene;
  const FlightOptions& o = flight.plan.options;
  if (!cv::imwrite((written.truth_folder / "height.tif").string(), scene.heightMap()) ||
      !cv::imwrite((written.truth_folder / "orthophoto.png").string(), scene.orthophoto())) {
    throw std::runtime_error("cannot write the ground truth rasters in " +
                             written.truth_folder.string());
  }
  json markers = json::array();
  const cv::Vec3d origin = ecefFromGeodetic(o.latitude, o.longitude, o.ground_altitude);
  for (const cv::Vec3d& m : scene.markers()) {
    const cv::Vec3d g = geodeticFromEcef(origin + ecefFromEnu(o.latitude, o.longitude) * m);
    markers.push_back({{"east", m[0]},
                       {"north", m[1]},
                       {"up", m[2]},
                       {"latitude", g[0]},
                       {"longitude", g[1]},
                       {"altitude", g[2]}});
  }
  json truth_frames = json::array();
  for (const PlannedFrame& f : flight.plan.frames)
    truth_frames.push_back(truthFrame(scene, flight.plan, f));
  writeJson(
      written.truth_folder / "truth.json",
      {{"origin",
        {{"latitude", o.latitude}, {"longitude", o.longitude}, {"altitude", o.ground_altitude}}},
       {"texel", scene.options().texel},
       {"east_min", scene.options().east_min},
       {"north_max", scene.options().north_max},
       {"height_map", "height.tif"},
       {"orthophoto", "orthophoto.png"},
       {"markers", markers},
       {"camera", cameraDocument(o.camera)},
       {"recorded_camera", cameraDocument(recordedCamera(o))},
       {"gps_error_model", gpsErrorModel(o)},
       {"vignetting", o.vignetting},
       {"exposure_spread", o.exposure_spread},
       {"frames", truth_frames}});
  return written;
}

}  // namespace

WrittenFlight writeExampleFlight(const ExampleFlight& flight, const fs::path& folder,
                                 int jpeg_quality) {
  // Frame by frame, so that a long flight never holds all of its views.
  return writeFlight(flight, folder, jpeg_quality,
                     [&](size_t i) { return renderFrame(flight, i).image; });
}

WrittenFlight writeExampleFlight(const ExampleFlight& flight,
                                 const std::vector<RenderedView>& views, const fs::path& folder,
                                 int jpeg_quality) {
  if (views.size() != flight.plan.frames.size())
    throw std::invalid_argument("one rendered view per frame is needed");
  return writeFlight(flight, folder, jpeg_quality, [&](size_t i) { return views[i].image; });
}

GroundTruth readGroundTruth(const fs::path& truth_folder) {
  std::ifstream in(truth_folder / "truth.json");
  if (!in) throw std::runtime_error("no truth.json in " + truth_folder.string());
  const json doc = json::parse(in);
  GroundTruth truth;
  truth.height = cv::imread((truth_folder / doc.at("height_map").get<std::string>()).string(),
                            cv::IMREAD_UNCHANGED);
  truth.orthophoto = cv::imread((truth_folder / doc.at("orthophoto").get<std::string>()).string(),
                                cv::IMREAD_COLOR);
  if (truth.height.type() != CV_32FC1 || truth.orthophoto.empty() ||
      truth.height.size() != truth.orthophoto.size()) {
    throw std::runtime_error("unreadable ground-truth rasters in " + truth_folder.string());
  }
  truth.texel = doc.at("texel").get<double>();
  truth.east_min = doc.at("east_min").get<double>();
  truth.north_max = doc.at("north_max").get<double>();
  const json& origin = doc.at("origin");
  truth.origin = {origin.at("latitude").get<double>(), origin.at("longitude").get<double>(),
                  origin.at("altitude").get<double>()};
  for (const json& m : doc.at("markers")) {
    truth.markers.emplace_back(m.at("east").get<double>(), m.at("north").get<double>(),
                               m.at("up").get<double>());
    truth.marker_geodetic.emplace_back(m.at("latitude").get<double>(),
                                       m.at("longitude").get<double>(),
                                       m.at("altitude").get<double>());
  }
  return truth;
}

}  // namespace flight
