#include "example_flight.h"

#include "geo_frame.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <fstream>

namespace flight {
namespace {

double wrapped(double degrees) { return std::remainder(degrees, 360.0); }

// The ground a frame sees on the take-off level, as the quadrilateral of its image corners.
std::vector<cv::Point2f> groundQuad(const PinholeCamera& cam, const CameraPlacement& p) {
  std::vector<cv::Point2f> quad;
  for (const cv::Point2d& c : imageBorder(cam, 1)) {
    const cv::Vec3d d =
        p.enu_from_camera * cv::Vec3d((c.x - cam.cx) / cam.fx, (c.y - cam.cy) / cam.fy, 1.0);
    const cv::Vec3d g = p.position + d * (-p.position[2] / d[2]);
    quad.emplace_back(float(g[0]), float(g[1]));
  }
  return quad;
}

// Share of frame a's footprint that frame b sees too.
double overlap(const FlightPlan& plan, size_t a, size_t b) {
  const PinholeCamera& cam = plan.options.camera;
  const std::vector<cv::Point2f> qa = groundQuad(cam, plan.frames[a].placement);
  const std::vector<cv::Point2f> qb = groundQuad(cam, plan.frames[b].placement);
  std::vector<cv::Point2f> common;
  return cv::intersectConvexConvex(qa, qb, common) / cv::contourArea(qa);
}

TEST(FixedWingFlight, FliesStripsJoinedByBankedTurnsWithTheCameraOnAWobblingCrabbingBody) {
  const FlightPlan plan = planFlight(fixedWingFlight(true).flight);
  const FlightOptions& o = plan.options;
  ASSERT_TRUE(isFixedWing(o));
  EXPECT_EQ(o.camera.width, 1000);
  EXPECT_EQ(o.camera.height, 750);
  ASSERT_EQ(plan.frames.size(), 40u);
  int turns = 0, tilted = 0, strip_frames = 0;
  double crab_north = 0, crab_south = 0;
  int north_frames = 0, south_frames = 0;
  for (size_t i = 0; i < plan.frames.size(); ++i) {
    const PlannedFrame& f = plan.frames[i];
    const cv::Vec3d& body = f.body_attitude;
    // The placement is the body's camera, and the gimbal angles say the same.
    const cv::Matx33d body_camera = enuFromBodyCamera(body[0], body[1], body[2]);
    EXPECT_LT(cv::norm(body_camera - f.placement.enu_from_camera, cv::NORM_INF), 1e-4) << i;
    const cv::Matx33d gimbal =
        enuFromCamera(f.true_attitude[0], f.true_attitude[1], f.true_attitude[2]);
    EXPECT_LT(cv::norm(gimbal - body_camera, cv::NORM_INF), 1e-4) << i;
    EXPECT_LE(std::abs(body[1]), o.body_wobble + 1e-9);
    if (i > 0) EXPECT_GT(f.timestamp, plan.frames[i - 1].timestamp);
    if (f.in_turn) {
      ++turns;
      EXPECT_GT(std::abs(body[2]), 10.0) << "turns are banked";
      continue;
    }
    ++strip_frames;
    EXPECT_LE(std::abs(body[2]), o.body_wobble + 1e-9);
    if (std::hypot(body[1], body[2]) > 5.0) ++tilted;
    (f.course == 0.0 ? crab_north : crab_south) += wrapped(body[0] - f.course);
    ++(f.course == 0.0 ? north_frames : south_frames);
  }
  EXPECT_EQ(turns, 4);
  EXPECT_GT(tilted, strip_frames / 5) << "the body wobbles by several degrees";
  // A crosswind from the west turns the nose west on both headings.
  EXPECT_NEAR(crab_north / north_frames, -o.crab_angle, 2.0);
  EXPECT_NEAR(crab_south / south_frames, o.crab_angle, 2.0);
  // Along a strip the frames share about 60% (more or less with the wobble); around a turn
  // consecutive frames hardly overlap.
  double strip_overlap = 0;
  int strip_pairs = 0;
  for (size_t i = 1; i < plan.frames.size(); ++i) {
    if (plan.frames[i].in_turn || plan.frames[i - 1].in_turn) continue;
    if (plan.frames[i].course != plan.frames[i - 1].course) {
      ADD_FAILURE() << "a strip ends without a turn at " << i;
      continue;
    }
    strip_overlap += overlap(plan, i - 1, i);
    ++strip_pairs;
  }
  EXPECT_NEAR(strip_overlap / strip_pairs, 0.6, 0.1);
  int turn_pairs = 0;
  for (size_t i = 1; i < plan.frames.size(); ++i) {
    if (!plan.frames[i].in_turn && !plan.frames[i - 1].in_turn) continue;
    ++turn_pairs;
    EXPECT_LT(overlap(plan, i - 1, i), 0.05) << "frames " << i - 1 << " and " << i;
  }
  EXPECT_EQ(turn_pairs, 6);
  // The scene holds every view.
  for (const PlannedFrame& f : plan.frames) {
    for (const cv::Point2f& g : groundQuad(o.camera, f.placement)) {
      EXPECT_GT(g.x, plan.scene.east_min);
      EXPECT_LT(g.x, plan.scene.east_max);
      EXPECT_GT(g.y, plan.scene.north_min);
      EXPECT_LT(g.y, plan.scene.north_max);
    }
  }
}

TEST(FixedWingFlight, RecordsTheCourseAsTheHeadingAndARoughCalibrationUnlessExact) {
  const FlightPlan exact = planFlight(fixedWingFlight(true).flight);
  for (const PlannedFrame& f : exact.frames) {
    EXPECT_EQ(f.recorded_attitude, f.true_attitude);
    EXPECT_EQ(f.recorded_geodetic, f.true_geodetic);
  }
  EXPECT_EQ(recordedCamera(exact.options).fx, exact.options.camera.fx);

  FlightOptions o = fixedWingFlight(false).flight;
  EXPECT_NEAR(recordedCamera(o).fx / o.camera.fx, 0.94, 1e-12) << "the focal length 6% short";
  o.attitude_noise = 0.0;
  o.gps_noise = 0.0;
  const FlightPlan noiseless = planFlight(o);
  ASSERT_EQ(noiseless.frames.size(), exact.frames.size());
  double largest = 0;
  for (size_t i = 0; i < noiseless.frames.size(); ++i) {
    const PlannedFrame& f = noiseless.frames[i];
    // The same flight; the recorded camera is the true one turned about the vertical until
    // its heading is the course.
    EXPECT_EQ(f.placement.enu_from_camera, exact.frames[i].placement.enu_from_camera);
    const double error = wrapped(f.course - f.body_attitude[0]);
    EXPECT_NEAR(wrapped(f.recorded_attitude[1] - f.true_attitude[1]), error, 1e-6) << i;
    EXPECT_NEAR(f.recorded_attitude[0], f.true_attitude[0], 1e-6);
    EXPECT_NEAR(f.recorded_attitude[2], f.true_attitude[2], 1e-6);
    largest = std::max(largest, std::abs(error));
  }
  EXPECT_GT(largest, 10.0);

  // With noise the recorded orientation stays within a few sigmas of the course-turned one.
  const FlightPlan noisy = planFlight(fixedWingFlight(false).flight);
  double position_error = 0;
  for (size_t i = 0; i < noisy.frames.size(); ++i) {
    const PlannedFrame& f = noisy.frames[i];
    const cv::Vec3d& a = noiseless.frames[i].recorded_attitude;
    const cv::Matx33d expected = enuFromCamera(a[0], a[1], a[2]);
    const cv::Matx33d got =
        enuFromCamera(f.recorded_attitude[0], f.recorded_attitude[1], f.recorded_attitude[2]);
    const double cos_angle = ((expected.t() * got).val[0] + (expected.t() * got).val[4] +
                              (expected.t() * got).val[8] - 1.0) /
                             2.0;
    EXPECT_LT(std::acos(std::min(1.0, cos_angle)) * 180 / M_PI, 4 * 2.0 * std::sqrt(3.0)) << i;
    position_error +=
        cv::norm(ecefFromGeodetic(f.recorded_geodetic[0], f.recorded_geodetic[1],
                                  f.recorded_geodetic[2]) -
                 ecefFromGeodetic(f.true_geodetic[0], f.true_geodetic[1], f.true_geodetic[2])) /
        noisy.frames.size();
  }
  EXPECT_GT(position_error, 1.0);
  EXPECT_LT(position_error, 5.0);
}

TEST(FixedWingFlight, ScalesToTwelveMegapixelsWithTheSameGround) {
  const FlightPlan small = planFlight(fixedWingFlight(false).flight);
  const FlightPlan large = planFlight(fixedWingFlight(false, 4000).flight);
  EXPECT_EQ(large.options.camera.width, 4000);
  EXPECT_EQ(large.options.camera.height, 3000);
  ASSERT_EQ(large.frames.size(), small.frames.size());
  for (size_t i = 0; i < large.frames.size(); ++i)
    EXPECT_LT(cv::norm(large.frames[i].placement.position - small.frames[i].placement.position),
              0.01);
  EXPECT_THROW(fixedWingFlight(true, 10), std::invalid_argument);
  FlightOptions bad = fixedWingFlight(true).flight;
  bad.turn_frames = -1;
  EXPECT_THROW(planFlight(bad), std::invalid_argument);
  bad = fixedWingFlight(true).flight;
  bad.body_wobble = 40;
  EXPECT_THROW(planFlight(bad), std::invalid_argument);
}

TEST(FixedWingFlight, TruthRecordsEachFramesPoseAndTheGroundItSees) {
  vmtest::TempDir dir;
  ExampleFlightOptions options = fixedWingFlight(false, 80);  // tiny frames, the same ground
  options.texel = 0.5;
  options.flight.strips = 2;
  options.flight.frames_per_strip = 2;
  options.flight.turn_frames = 1;
  const ExampleFlight flight = makeExampleFlight(options);
  const WrittenFlight written = writeExampleFlight(flight, dir.path());
  ASSERT_EQ(written.images.size(), 5u);
  std::ifstream in(written.truth_folder / "truth.json");
  const nlohmann::json truth = nlohmann::json::parse(in);
  EXPECT_EQ(truth["camera"]["fx"].get<double>(), 68.0);
  EXPECT_DOUBLE_EQ(truth["recorded_camera"]["fx"].get<double>(), 68.0 * 0.94);
  ASSERT_EQ(truth["frames"].size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    const nlohmann::json& f = truth["frames"][i];
    const PlannedFrame& planned = flight.plan.frames[i];
    EXPECT_EQ(f["in_turn"].get<bool>(), planned.in_turn);
    EXPECT_EQ(f["heading"].get<double>(), planned.body_attitude[0]);
    EXPECT_EQ(f["course"].get<double>(), planned.course);
    EXPECT_EQ(f["enu_from_camera"][8].get<double>(), planned.placement.enu_from_camera(2, 2));
    // The footprint surrounds the point the optical axis meets.
    std::vector<cv::Point2f> polygon;
    for (const nlohmann::json& p : f["footprint"])
      polygon.emplace_back(p[0].get<float>(), p[1].get<float>());
    ASSERT_EQ(polygon.size(), 32u);
    const cv::Vec3d& o = planned.placement.position;
    const cv::Vec3d axis = planned.placement.enu_from_camera * cv::Vec3d(0, 0, 1);
    const cv::Vec3d centre = o + axis * (-o[2] / axis[2]);
    EXPECT_GT(cv::pointPolygonTest(polygon, cv::Point2f(float(centre[0]), float(centre[1])), true),
              10.0)
        << i;
  }
  // Every pixel of a banked turn's view sees the farmland, none the sky.
  const size_t turn = 2;
  ASSERT_TRUE(flight.plan.frames[turn].in_turn);
  const RenderedView view = renderFrame(flight, turn);
  const PinholeCamera& cam = flight.plan.options.camera;
  const CameraPlacement& p = flight.plan.frames[turn].placement;
  for (int r = 0; r < cam.height; ++r) {
    for (int c = 0; c < cam.width; ++c) {
      const float depth = view.depth.at<float>(r, c);
      ASSERT_GT(depth, 0.0f) << r << " " << c;
      const cv::Vec3d x =
          p.position + p.enu_from_camera * cv::Vec3d((c - cam.cx) / cam.fx * depth,
                                                     (r - cam.cy) / cam.fy * depth, depth);
      EXPECT_LT(x[2] - flight.scene->surfaceHeight(x[0], x[1]), 0.05);
    }
  }
}

// Mean and frame-to-frame correlation of a series.
std::pair<double, double> meanAndLagCorrelation(const std::vector<double>& v) {
  double mean = 0, var = 0, cov = 0;
  for (double x : v) mean += x / v.size();
  for (size_t i = 0; i < v.size(); ++i) {
    var += (v[i] - mean) * (v[i] - mean);
    if (i > 0) cov += (v[i] - mean) * (v[i - 1] - mean);
  }
  return {mean, cov / var};
}

TEST(RealFlight, GpsFixesTrailTheExposureSitAsideAndDriftSlowly) {
  const FlightOptions o = realFlight(false).flight;
  EXPECT_EQ(planFlight(o).frames.size(), 64u);
  EXPECT_NEAR(o.gps_lag * cruiseSpeed(o), 2.0, 1e-9);
  // Without the random parts the error is the lag back along the course and the offset to
  // its right, whichever way the strip runs and around the turns.
  FlightOptions steady = o;
  steady.gps_noise = steady.gps_drift = 0.0;
  for (const PlannedFrame& f : planFlight(steady).frames) {
    const double c = f.course * M_PI / 180;
    const cv::Vec3d ahead{std::sin(c), std::cos(c), 0}, right{std::cos(c), -std::sin(c), 0};
    EXPECT_NEAR(f.gps_error.dot(ahead), -2.0, 1e-9);
    EXPECT_NEAR(f.gps_error.dot(right), 1.4, 1e-9);
    EXPECT_NEAR(f.gps_error[2], 0.0, 1e-12);
    // The recorded position carries exactly that error.
    const cv::Vec3d recorded =
        ecefFromGeodetic(f.recorded_geodetic[0], f.recorded_geodetic[1], f.recorded_geodetic[2]);
    const cv::Vec3d truth =
        ecefFromGeodetic(f.true_geodetic[0], f.true_geodetic[1], f.true_geodetic[2]);
    EXPECT_NEAR(cv::norm(recorded - truth), cv::norm(f.gps_error), 1e-3);
  }
  // The drift alone, over a long strip: its spread and its memory from frame to frame.
  FlightOptions drifting = o;
  drifting.gps_noise = drifting.gps_lag = drifting.gps_side_offset = 0.0;
  drifting.strips = 1;
  drifting.frames_per_strip = 3000;
  std::vector<double> up, east;
  for (const PlannedFrame& f : planFlight(drifting).frames) {
    east.push_back(f.gps_error[0]);
    up.push_back(f.gps_error[2]);
  }
  for (const std::vector<double>* axis : {&east, &up}) {
    const auto [mean, correlation] = meanAndLagCorrelation(*axis);
    double spread = 0;
    for (double x : *axis) spread += (x - mean) * (x - mean) / axis->size();
    EXPECT_NEAR(std::sqrt(spread), 1.5, 0.2);
    EXPECT_NEAR(correlation, 0.7, 0.05);
  }
  // The stated sigmas are the error's spread: the lag shows along the north-south strips, the
  // side offset across them.
  const cv::Vec3d stated = gpsErrorSpread(o);
  EXPECT_NEAR(stated[0], std::sqrt(0.09 + 2.25 + 1.96), 1e-9);
  EXPECT_NEAR(stated[1], std::sqrt(0.09 + 2.25 + 4.0), 1e-9);
  EXPECT_NEAR(stated[2], std::sqrt(0.09 + 2.25), 1e-9);
  // The exact variant records the same flight's truth.
  const FlightPlan exact = planFlight(realFlight(true).flight);
  const FlightPlan noisy = planFlight(o);
  ASSERT_EQ(exact.frames.size(), noisy.frames.size());
  for (size_t i = 0; i < exact.frames.size(); ++i) {
    EXPECT_EQ(exact.frames[i].recorded_geodetic, exact.frames[i].true_geodetic);
    EXPECT_EQ(exact.frames[i].placement.position, noisy.frames[i].placement.position);
    EXPECT_EQ(exact.frames[i].exposure, noisy.frames[i].exposure);
  }
  // A GPS error model without a fixed-wing survey, or a drift that never forgets, is refused.
  FlightOptions bad = o;
  bad.gps_drift_correlation = 1.0;
  EXPECT_THROW(planFlight(bad), std::invalid_argument);
  FlightOptions gimbal;
  gimbal.gps_lag = 0.1;
  EXPECT_THROW(planFlight(gimbal), std::invalid_argument);
}

TEST(RealFlight, TheCameraTriggersThroughTheTurnsAtTheStripsSpacingWithinTheBankLimit) {
  const FlightPlan plan = planFlight(realFlight(false).flight);
  const FlightOptions& o = plan.options;
  ASSERT_EQ(plan.frames.size(), 64u);
  const double speed = cruiseSpeed(o), spacing = speed * o.frame_interval;
  // Flown level at the strips' speed, the half circle between neighbouring strips asks for
  // the autopilot's bank limit and no more.
  size_t next_strip = 0;
  while (!plan.frames[next_strip].in_turn) ++next_strip;
  while (plan.frames[next_strip].in_turn) ++next_strip;
  const double radius =
      (plan.frames[next_strip].placement.position[0] - plan.frames[0].placement.position[0]) / 2;
  EXPECT_NEAR(std::atan(speed * speed / (9.81 * radius)) * 180 / M_PI, 25.0, 1e-6);
  int turn_frames = 0, pairs = 0;
  double bank = 0, turn_overlap = 0;
  for (size_t i = 1; i < plan.frames.size(); ++i) {
    const PlannedFrame &f = plan.frames[i], &before = plan.frames[i - 1];
    if (!f.in_turn && !before.in_turn) continue;
    const double gap = cv::norm(f.placement.position - before.placement.position);
    if (f.in_turn) {
      // A spacing of path from the frame before, a little less in a straight line.
      ++turn_frames;
      bank += std::abs(f.body_attitude[2]);
      EXPECT_NEAR(f.timestamp - before.timestamp, o.frame_interval, 1e-6) << i;
      EXPECT_NEAR(gap, spacing, 2.5) << i;
    } else {
      // The next strip begins before the camera would trigger again.
      EXPECT_LT(f.timestamp - before.timestamp, o.frame_interval) << i;
      EXPECT_LT(gap, spacing) << i;
    }
    // Each shares ground with the frame before, though far less than along the strips: the
    // view looks outward by the bank and turns with the course.
    const double shared = overlap(plan, i - 1, i);
    EXPECT_GT(shared, 0.02) << "frames " << i - 1 << " and " << i;
    turn_overlap += shared;
    ++pairs;
  }
  EXPECT_EQ(turn_frames, 12);
  EXPECT_NEAR(bank / turn_frames, 25.0, 5.0);
  EXPECT_GT(turn_overlap / pairs, 0.1);
  EXPECT_LT(turn_overlap / pairs, 0.45);

  // A spacing that leaves a turn's last frame past the half circle takes it level, on the
  // way in along the next strip's line.
  FlightOptions denser = realFlight(false).flight;
  denser.forward_overlap = 0.65;
  const std::vector<PlannedFrame> in = planFlight(denser).frames;
  ASSERT_TRUE(in[17].in_turn && !in[18].in_turn);
  EXPECT_EQ(in[17].course, 180.0);
  EXPECT_LE(std::abs(in[17].body_attitude[2]), denser.body_wobble);
  EXPECT_NEAR(in[17].placement.position[0], in[18].placement.position[0], 1e-6);
}

TEST(RealFlight, TheLensBendsRaysTheFrameListMayNotSayAndTheLightFallsOffToTheCorners) {
  const PinholeCamera lens = realFlight(false).flight.camera;
  ASSERT_LT(lens.k1, 0.0);
  // Barrel distortion: a corner pixel sees farther out than the pinhole would, and the ray
  // through a pixel is imaged back at that pixel.
  const cv::Vec3d corner = rayThrough(lens, 0.0, 0.0);
  EXPECT_LT(corner[0], -lens.cx / lens.fx * 1.01);
  for (const cv::Point2d& p : imageBorder(lens, 5)) {
    const cv::Point2d back = pixelOf(lens, rayThrough(lens, p.x, p.y) * 3.0);
    EXPECT_NEAR(back.x, p.x, 1e-6);
    EXPECT_NEAR(back.y, p.y, 1e-6);
  }
  EXPECT_EQ(rayThrough(lens, lens.cx, lens.cy), cv::Vec3d(0, 0, 1));
  PinholeCamera folding = lens;
  folding.k1 = -1.0;
  FlightOptions bad = realFlight(false).flight;
  bad.camera = folding;
  EXPECT_THROW(planFlight(bad), std::invalid_argument);

  // A tiny frame of the same ground: every pixel's ray, bent by the lens, meets the surface
  // at the depth the renderer gives; the light falls off to 65% in the corners.
  vmtest::TempDir dir;
  ExampleFlightOptions options = realFlight(false, 80);
  options.texel = 0.5;
  options.flight.strips = 2;
  options.flight.frames_per_strip = 2;
  options.flight.turn_frames = 1;
  const ExampleFlight flight = makeExampleFlight(options);
  const PinholeCamera& cam = flight.plan.options.camera;
  const CameraPlacement& p = flight.plan.frames[0].placement;
  const RenderedView view = renderFrame(flight, 0);
  for (int r = 0; r < cam.height; r += 3) {
    for (int c = 0; c < cam.width; c += 3) {
      const cv::Vec3d x =
          p.position + p.enu_from_camera * (rayThrough(cam, c, r) * view.depth.at<float>(r, c));
      EXPECT_LT(std::abs(x[2] - flight.scene->surfaceHeight(x[0], x[1])), 0.05) << r << " " << c;
    }
  }
  cv::Mat grey(cam.height, cam.width, CV_8UC3, cv::Scalar::all(200));
  exposeImage(&grey, 1.1, 0.35);
  EXPECT_NEAR(grey.at<cv::Vec3b>(0, 0)[1], 200 * 1.1 * 0.65, 1.0);
  EXPECT_NEAR(grey.at<cv::Vec3b>(cam.height / 2, cam.width / 2)[1], 200 * 1.1, 1.0);

  // The frame list states no distortion and the error's spread as its sigmas; the truth
  // holds the lens, the GPS error and each frame's exposure.
  const WrittenFlight written = writeExampleFlight(flight, dir.path());
  std::ifstream list(written.frame_list), truth_in(written.truth_folder / "truth.json");
  const nlohmann::json frames = nlohmann::json::parse(list),
                       truth = nlohmann::json::parse(truth_in);
  EXPECT_EQ(frames[0]["calibration"]["k1"].get<double>(), 0.0);
  EXPECT_NEAR(frames[0]["rtk_std"]["latitude"].get<double>(),
              gpsErrorSpread(flight.plan.options)[1], 1e-12);
  EXPECT_EQ(truth["camera"]["k1"].get<double>(), -0.03);
  EXPECT_EQ(truth["camera"]["k2"].get<double>(), 0.01);
  EXPECT_NEAR(truth["gps_error_model"]["lag_m"].get<double>(), 2.0, 1e-9);
  EXPECT_EQ(truth["frames"][1]["exposure"].get<double>(), flight.plan.frames[1].exposure);
  EXPECT_EQ(truth["frames"][1]["gps_error"][2].get<double>(), flight.plan.frames[1].gps_error[2]);
  EXPECT_EQ(recordedCamera(realFlight(true, 80).flight).k1, -0.03);
}

}  // namespace
}  // namespace flight
