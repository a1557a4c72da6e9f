// The front end on a rendered survey without GPS or attitude noise: every frame is located,
// survey markers project onto the pixels where the renderer drew them, and the depth range
// and ground level the back end derives from the sparse points hold the true scene.

#include "direct_georeferencing.h"
#include "front_end_test_support.h"
#include "georeferencing_front_end.h"
#include "src/PointsFusion/src/dbscan.h"
#include "src/PointsFusion/src/stereo_dense/image_scaled.h"
#include "tools/example_flight.h"
#include "tools/geo_frame.h"
#include "tools/marker_finder.h"
#include "tools/rendered_view_cache.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include <cmath>

namespace sfm {
namespace {

flight::ExampleFlightOptions surveyOptions() {
  flight::ExampleFlightOptions o;
  o.flight.camera.width = 640;
  o.flight.camera.height = 480;
  o.flight.camera.fx = o.flight.camera.fy = 544;
  o.flight.height = 100;
  o.flight.frames_per_strip = 4;
  o.marker_radius = 1.0;
  return o;
}

std::vector<double> gpsOf(const flight::PlannedFrame& f) {
  const cv::Vec3d& g = f.recorded_geodetic;
  const cv::Vec3d& a = f.recorded_attitude;
  return testing::gpsRecord(g[0], g[1], g[2], f.relative_altitude, a[0], a[1], a[2]);
}

std::vector<double> calibrationOf(const flight::PinholeCamera& c) {
  return {double(c.width), double(c.height), c.fx, c.fy, c.cx, c.cy, 0, 0, 0, 0, 0};
}

pi::Point3d toPoint(const cv::Vec3d& v) { return {v[0], v[1], v[2]}; }

// The frame's sparse points in its camera (ray times depth), read through the frame
// interface as the back end reads them.
std::vector<pi::Point3d> sparseCameraPoints(fw::MapFrame& frame) {
  std::vector<pi::Point3d> points;
  const fw::Camera camera = frame.getCamera(0);
  for (const auto& observation : frame.getObservations()) {
    const int index = static_cast<int>(observation.second);
    fw::Point2d inverse_depth;
    cv::Point2f pixel;
    if (!frame.getKeyPointInverseDepth(index, inverse_depth) ||
        !frame.getKeyPointPosition(index, pixel))
      continue;
    const pi::Point3d ray = camera.UnProject(fw::Point2d(pixel.x, pixel.y));
    const double depth = 1.0 / inverse_depth.x;
    points.emplace_back(ray.x * depth, ray.y * depth, ray.z * depth);
  }
  return points;
}

// Checks, pair by pair as the dense stage forms them, that the depth range derived from the
// located frames' sparse points in the rectified view holds every depth the renderer drew.
// Returns the least margins (metres) on the near and the far side.
std::pair<double, double> checkDepthRanges(
    const flight::ExampleFlight& flight, const std::vector<std::shared_ptr<fw::MapFrame>>& located,
    const std::vector<flight::RenderedView>& views) {
  const flight::PinholeCamera& cam = flight.plan.options.camera;
  const cv::Size size(cam.width, cam.height);
  double least_near_margin = 1e9, least_far_margin = 1e9;
  for (size_t i = 0; i + 1 < located.size(); ++i) {
    std::shared_ptr<fw::MapFrame> ref = located[i], next = located[i + 1];
    SE3 t = SE3::compose(next->getPoseSE3().inverse(), ref->getPoseSE3());
    const pi::Point3d c = t.inverse().t;
    const bool vertical = std::abs(c.y) > std::abs(c.x);
    size_t view1 = i;
    if ((!vertical && c.x < 0) || (vertical && c.y > 0)) {
      std::swap(ref, next);
      t = t.inverse();
      view1 = i + 1;
    }
    const fw::Matrix3 r = fw::quaternionToMatrix(t.q);
    const cv::Mat k = (cv::Mat_<double>(3, 3) << cam.fx, 0, cam.cx, 0, cam.fy, cam.cy, 0, 0, 1);
    const cv::Mat d = cv::Mat::zeros(5, 1, CV_64F);
    cv::Mat r1, r2, p1, p2, q;
    const cv::Mat rotation = cv::Mat(3, 3, CV_64F, const_cast<double*>(r.data())).clone();
    const cv::Mat translation = (cv::Mat_<double>(3, 1) << t.t.x, t.t.y, t.t.z);
    cv::stereoRectify(k, d, k, d, size, rotation, translation, r1, r2, p1, p2, q,
                      cv::CALIB_ZERO_DISPARITY, -1, size);
    fw::Matrix3 view_from_camera;
    for (int e = 0; e < 9; ++e) view_from_camera[e] = r1.at<double>(e / 3, e % 3);

    SE3 view;
    fw::quaternionFromMatrix(view_from_camera, view.q);
    double range[2] = {0.0, 0.0};
    EXPECT_TRUE(ImageScaled::EstimateDepthRange(ref, view, range)) << "pair " << i;
    double all_min = 1e300, all_max = -1e300;
    for (const pi::Point3d& p : sparseCameraPoints(*ref)) {
      const double z =
          view_from_camera[6] * p.x + view_from_camera[7] * p.y + view_from_camera[8] * p.z;
      all_min = std::min(all_min, z);
      all_max = std::max(all_max, z);
    }
    // The extreme sparse depths are cluster cores: the clustering drops neither of them.
    EXPECT_NEAR(range[0], all_min, 1e-9) << "pair " << i;
    EXPECT_NEAR(range[1], all_max, 1e-9) << "pair " << i;
    const cv::Mat& depth = views[view1].depth;
    double lo = 1e9, hi = -1e9;
    int unseen = 0;  // pixels where the renderer met no surface
    for (int y = 0; y < depth.rows; ++y) {
      for (int x = 0; x < depth.cols; ++x) {
        const double z = depth.at<float>(y, x);
        if (z <= 0.0) {
          ++unseen;
          continue;
        }
        const pi::Point3d p((x - cam.cx) / cam.fx * z, (y - cam.cy) / cam.fy * z, z);
        const double rotated =
            view_from_camera[6] * p.x + view_from_camera[7] * p.y + view_from_camera[8] * p.z;
        lo = std::min(lo, rotated);
        hi = std::max(hi, rotated);
      }
    }
    EXPECT_EQ(unseen, 0) << "pair " << i;
    EXPECT_LE(range[0], lo) << "pair " << i;
    EXPECT_GE(range[1], hi) << "pair " << i;
    least_near_margin = std::min(least_near_margin, lo - range[0]);
    least_far_margin = std::min(least_far_margin, range[1] - hi);
  }
  return {least_near_margin, least_far_margin};
}

class RenderedFlight : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    flight_ = new flight::ExampleFlight(flight::makeExampleFlight(surveyOptions()));
    chain_ = new testing::RecordingChain();
    GeoreferencingFrontEnd front_end(chain_, {});
    front_end.setFrameCount(static_cast<int>(flight_->plan.frames.size()));
    for (size_t i = 0; i < flight_->plan.frames.size(); ++i) {
      front_end.addFrame(testing::inputFrame(i, gpsOf(flight_->plan.frames[i]),
                                             calibrationOf(flight_->plan.options.camera)));
    }
    front_end.finishInput();
    views_ = flight::renderAllFrames(*flight_, VM_RENDER_CACHE);
  }
  static void TearDownTestSuite() {
    delete chain_;
    delete flight_;
    views_.clear();
  }

  // A scene point (east, north, up from take-off) in earth-centred coordinates.
  static pi::Point3d sceneToWorld(const cv::Vec3d& enu) {
    const flight::FlightOptions& o = flight_->plan.options;
    return toPoint(flight::ecefFromGeodetic(o.latitude, o.longitude, o.ground_altitude) +
                   flight::ecefFromEnu(o.latitude, o.longitude) * enu);
  }

  static flight::ExampleFlight* flight_;
  static testing::RecordingChain* chain_;
  static std::vector<flight::RenderedView> views_;
};

flight::ExampleFlight* RenderedFlight::flight_ = nullptr;
testing::RecordingChain* RenderedFlight::chain_ = nullptr;
std::vector<flight::RenderedView> RenderedFlight::views_;

TEST_F(RenderedFlight, EveryFrameIsLocatedAndMarkersProjectWhereTheyWereDrawn) {
  ASSERT_EQ(chain_->frames.size(), flight_->plan.frames.size());
  const double marker = flight_->plan.scene.marker_radius;
  double worst = 0.0, sum = 0.0;
  int seen = 0;
  for (size_t i = 0; i < chain_->frames.size(); ++i) {
    fw::MapFrame& frame = *chain_->frames[i];
    EXPECT_EQ(frame.id, i);
    const SE3 camera_from_world = frame.getPoseSE3().inverse();
    const fw::Camera camera = frame.getCamera(0);
    for (const cv::Vec3d& m : flight_->scene->markers()) {
      const pi::Point3d p = camera_from_world.transformPoint(sceneToWorld(m));
      if (p.z <= 0) continue;
      const fw::Point2d uv = camera.Project(p);
      // The disc and a little of its dark rim.
      const double radius = (marker + 0.25) * camera.getParameters()[2] / p.z;
      const int half = static_cast<int>(radius) + 2;
      if (uv.x < half || uv.y < half || uv.x > camera.width() - 1 - half ||
          uv.y > camera.height() - 1 - half)
        continue;
      // Markers hidden behind a building are not drawn.
      if (std::abs(views_[i].depth.at<float>(cvRound(uv.y), cvRound(uv.x)) - p.z) > 0.2) continue;
      cv::Point2d drawn;
      ASSERT_TRUE(flight::findMarkerCentre(views_[i].image, {uv.x, uv.y}, radius, &drawn))
          << "frame " << i;
      const double error = std::hypot(drawn.x - uv.x, drawn.y - uv.y);
      worst = std::max(worst, error);
      sum += error;
      ++seen;
    }
  }
  ASSERT_GT(seen, 50);
  EXPECT_LT(worst, 0.5);
  RecordProperty("markers", seen);
  RecordProperty("mean_error_px", std::to_string(sum / seen));
  RecordProperty("worst_error_px", std::to_string(worst));
}

TEST_F(RenderedFlight, DepthRangeOfEveryStereoPairHoldsEveryTrueDepth) {
  const auto margins = checkDepthRanges(*flight_, chain_->frames, views_);
  RecordProperty("least_near_margin_m", std::to_string(margins.first));
  RecordProperty("least_far_margin_m", std::to_string(margins.second));
}

TEST(RenderedNoisyFlight, DepthRangeStillHoldsTheTrueDepthsWithGpsAndAttitudeNoise) {
  flight::ExampleFlightOptions options = surveyOptions();
  options.flight.frames_per_strip = 3;
  options.flight.gps_noise = 2.0;
  options.flight.attitude_noise = 1.0;
  const flight::ExampleFlight noisy = flight::makeExampleFlight(options);
  testing::RecordingChain chain;
  GeoreferencingFrontEnd front_end(&chain, {});
  for (size_t i = 0; i < noisy.plan.frames.size(); ++i) {
    front_end.addFrame(testing::inputFrame(i, gpsOf(noisy.plan.frames[i]),
                                           calibrationOf(noisy.plan.options.camera)));
  }
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(noisy, VM_RENDER_CACHE);
  front_end.finishInput();
  ASSERT_EQ(chain.frames.size(), noisy.plan.frames.size());
  const auto margins = checkDepthRanges(noisy, chain.frames, views);
  RecordProperty("least_near_margin_m", std::to_string(margins.first));
  RecordProperty("least_far_margin_m", std::to_string(margins.second));
}

TEST_F(RenderedFlight, HeightClusteringFindsTheTakeOffGround) {
  for (size_t i = 0; i < chain_->frames.size(); ++i) {
    const flight::PlannedFrame& planned = flight_->plan.frames[i];
    fw::MapFrame& frame = *chain_->frames[i];
    // Heights of the sparse points, local up from the camera, clustered as the map set-up
    // does it (radius 10 m, 5 neighbours).
    const fw::Matrix3 ecef_from_enu =
        ecefFromEnu(planned.recorded_geodetic[0], planned.recorded_geodetic[1]);
    const fw::Matrix3 world_from_camera = fw::quaternionToMatrix(frame.getPoseSE3().q);
    std::vector<double> heights;
    for (const pi::Point3d& p : sparseCameraPoints(frame))
      heights.push_back(rotate(transpose(ecef_from_enu), rotate(world_from_camera, p)).z);
    DBSCAN dbscan;
    ASSERT_EQ(dbscan.Run(heights, 1, 10.0, 5), 0);
    ASSERT_FALSE(dbscan.clusters.empty());
    const auto& ground =
        *std::max_element(dbscan.clusters.begin(), dbscan.clusters.end(),
                          [](const auto& a, const auto& b) { return a.size() < b.size(); });
    double level = 0.0;
    for (uint32_t k : ground) level += heights[k] / ground.size();
    // The flight height the map set-up derives is the relative altitude.
    EXPECT_NEAR(-level, planned.relative_altitude, 1e-6) << "frame " << i;
    EXPECT_GT(2 * ground.size(), heights.size()) << "the ground layer outnumbers the rest";
  }
}

}  // namespace
}  // namespace sfm
