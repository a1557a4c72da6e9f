// The refinement on rendered surveys with recorded GPS and attitude noise and a focal length
// off in the calibration, against the flights' true poses and scene; and its fallbacks.

#include "pose_refiner.h"

#include "direct_georeferencing.h"
#include "front_end_test_support.h"
#include "georeferencing_front_end.h"
#include "testsupport/sanitizer_build.h"
#include "tools/example_flight.h"
#include "tools/geo_frame.h"
#include "tools/rendered_view_cache.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <tuple>

namespace sfm {
namespace {

using Frames = std::vector<std::shared_ptr<fw::MapFrame>>;

struct Survey {
  double gps_noise = 0.0, attitude_noise = 0.0, focal_error = 0.0, forward_overlap = 0.75;
  int frames_per_strip = 5;
  FeatureDetector detector = FeatureDetector::kOrb;
};

flight::ExampleFlight makeFlight(const Survey& s) {
  flight::ExampleFlightOptions o;
  o.flight.camera.width = 640;
  o.flight.camera.height = 480;
  o.flight.camera.fx = o.flight.camera.fy = 544;
  o.flight.frames_per_strip = s.frames_per_strip;
  o.flight.gps_noise = s.gps_noise;
  o.flight.attitude_noise = s.attitude_noise;
  o.flight.focal_error = s.focal_error;
  o.flight.forward_overlap = s.forward_overlap;
  return flight::makeExampleFlight(o);
}

// The frame as the mapper hands it in, GPS and attitude sigmas as the frame list states them.
std::shared_ptr<fw::MapFrame> inputOf(const flight::ExampleFlight& f, size_t i,
                                      const cv::Mat& image) {
  const flight::PlannedFrame& p = f.plan.frames[i];
  const flight::FlightOptions& o = f.plan.options;
  const double s = std::max(o.gps_noise, 0.02), a = std::max(o.attitude_noise, 0.1);
  const std::vector<double> gps = {p.recorded_geodetic[1],
                                   p.recorded_geodetic[0],
                                   p.recorded_geodetic[2],
                                   s,
                                   s,
                                   s,
                                   p.relative_altitude,
                                   10.0,
                                   p.recorded_attitude[0],
                                   p.recorded_attitude[1],
                                   p.recorded_attitude[2],
                                   a,
                                   a,
                                   a};
  const flight::PinholeCamera c = flight::recordedCamera(o);
  return testing::inputFrame(
      i, gps, {double(c.width), double(c.height), c.fx, c.fy, c.cx, c.cy, 0, 0, 0, 0, 0},
      fw::GImage(image));
}

// Input frames: the planned frame whose recorded position and attitude go with the image.
struct Input {
  size_t planned;
  cv::Mat image;
};

Frames locateInputs(const flight::ExampleFlight& f, const std::vector<Input>& inputs,
                    FrontEndOptions options = {}, int announced = -1) {
  testing::RecordingChain chain;
  GeoreferencingFrontEnd front_end(&chain, options);
  front_end.setFrameCount(announced < 0 ? static_cast<int>(inputs.size()) : announced);
  for (size_t i = 0; i < inputs.size(); ++i) {
    auto frame = inputOf(f, inputs[i].planned, inputs[i].image);
    // Identifiers follow the input order, as the dataset numbers its frames.
    front_end.addFrame(std::make_shared<MapFrame>(
        i, frame->timestamp, fw::GImage(inputs[i].image),
        "/data/frame_" + std::to_string(i) + ".jpg", frame->getCamera(0),
        [&] {
          std::vector<double> gps;
          frame->call("GetGPS", &gps);
          return gps;
        }(),
        1));
  }
  front_end.finishInput();
  return chain.frames;
}

Frames locate(const flight::ExampleFlight& f, const std::vector<flight::RenderedView>& views,
              FrontEndOptions options = {}) {
  std::vector<Input> inputs;
  for (size_t i = 0; i < views.size(); ++i) inputs.push_back({i, views[i].image});
  return locateInputs(f, inputs, options);
}

// True camera: earth-centred rotation (world from camera) and centre.
struct TruePose {
  cv::Matx33d world_from_camera;
  cv::Vec3d centre;
};

TruePose truePose(const flight::ExampleFlight& f, size_t i) {
  const flight::FlightOptions& o = f.plan.options;
  const cv::Matx33d ecef_from_scene = flight::ecefFromEnu(o.latitude, o.longitude);
  const flight::CameraPlacement& p = f.plan.frames[i].placement;
  return {ecef_from_scene * p.enu_from_camera,
          flight::ecefFromGeodetic(o.latitude, o.longitude, o.ground_altitude) +
              ecef_from_scene * p.position};
}

TruePose locatedPose(fw::MapFrame& frame) {
  const SE3 pose = frame.getPoseSE3();
  return {cv::Matx33d(fw::quaternionToMatrix(pose.q).data()), {pose.t.x, pose.t.y, pose.t.z}};
}

double angleOf(const cv::Matx33d& r) {
  return std::acos(std::clamp((cv::trace(r) - 1.0) / 2.0, -1.0, 1.0)) * 180.0 / M_PI;
}

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

struct Errors {
  double rotation = 0.0;  // median relative rotation error of consecutive frames, degrees
  double position = 0.0;  // median relative position error of consecutive frames, metres
  double centre = 0.0;    // mean camera-centre error, metres
  double attitude = 0.0;  // largest absolute rotation error, degrees
  // The relative position error once the centres are moved, turned and scaled onto the true
  // ones as a whole: what the images tell apart from the datum the recorded positions give.
  double position_after_similarity = 0.0;
  // Relative scale error expected from the recorded positions alone: the standard error of a
  // scale fitted to them, their noise over the root of the summed squared distances of the
  // centres from their mean.
  double scale_bound = 0.0;
};

// Median relative position error of consecutive frames after the best similarity that
// carries the estimated centres onto the true ones.
double relativePositionAfterSimilarity(const std::vector<cv::Vec3d>& truth,
                                       const std::vector<cv::Vec3d>& est) {
  // About the first true centre, so that earth-centred magnitudes do not cost precision.
  Eigen::Matrix3Xd t(3, truth.size()), e(3, est.size());
  for (size_t i = 0; i < truth.size(); ++i) {
    const cv::Vec3d a = truth[i] - truth[0], b = est[i] - truth[0];
    t.col(i) << a[0], a[1], a[2];
    e.col(i) << b[0], b[1], b[2];
  }
  const Eigen::Matrix4d similarity = Eigen::umeyama(e, t, true);
  const Eigen::Matrix3Xd aligned =
      (similarity.topLeftCorner<3, 3>() * e).colwise() + similarity.topRightCorner<3, 1>();
  std::vector<double> errors;
  for (Eigen::Index i = 1; i < t.cols(); ++i)
    errors.push_back(((aligned.col(i) - aligned.col(i - 1)) - (t.col(i) - t.col(i - 1))).norm());
  return median(errors);
}

Errors poseErrors(const flight::ExampleFlight& f, const Frames& located) {
  std::vector<double> rotation, position;
  std::vector<cv::Vec3d> true_centres, centres;
  Errors e;
  for (size_t i = 0; i < located.size(); ++i) {
    const TruePose truth = truePose(f, i), est = locatedPose(*located[i]);
    true_centres.push_back(truth.centre);
    centres.push_back(est.centre);
    e.centre += cv::norm(truth.centre - est.centre) / located.size();
    e.attitude = std::max(e.attitude, angleOf(truth.world_from_camera.t() * est.world_from_camera));
    if (i == 0) continue;
    const TruePose truth0 = truePose(f, i - 1), est0 = locatedPose(*located[i - 1]);
    const cv::Matx33d true_relative = truth0.world_from_camera.t() * truth.world_from_camera;
    const cv::Matx33d est_relative = est0.world_from_camera.t() * est.world_from_camera;
    rotation.push_back(angleOf(true_relative.t() * est_relative));
    position.push_back(cv::norm((truth.centre - truth0.centre) - (est.centre - est0.centre)));
  }
  e.rotation = median(rotation);
  e.position = median(position);
  e.position_after_similarity = relativePositionAfterSimilarity(true_centres, centres);
  const cv::Vec3d mean = std::accumulate(true_centres.begin(), true_centres.end(), cv::Vec3d()) /
                         double(true_centres.size());
  double spread = 0.0;
  for (const cv::Vec3d& c : true_centres) spread += cv::norm(c - mean, cv::NORM_L2SQR);
  e.scale_bound = f.plan.options.gps_noise / std::sqrt(spread);
  return e;
}

// Map points seen by two consecutive located frames (a stereo pair of the dense stage),
// triangulated from their key points with the located poses and cameras: the root mean
// square reprojection error in pixels, and the median relative difference between a
// triangulated depth and the frame's own depth of the map point (its inverse depth).
std::pair<double, double> mapPointConsistency(const Frames& located) {
  struct Sighting {
    cv::Point2f pixel;
    double depth;
  };
  std::vector<std::map<uint64_t, Sighting>> seen(located.size());
  for (size_t k = 0; k < located.size(); ++k) {
    for (const auto& [point_id, index] : located[k]->getObservations()) {
      cv::Point2f pixel;
      fw::Point2d inverse_depth;
      if (located[k]->getKeyPointPosition(int(index), pixel) &&
          located[k]->getKeyPointInverseDepth(int(index), inverse_depth)) {
        seen[k][point_id] = {pixel, 1.0 / inverse_depth.x};
      }
    }
  }
  double sum = 0.0;
  int n = 0;
  std::vector<double> depth_errors;
  for (size_t k = 0; k + 1 < located.size(); ++k) {
    const TruePose pose[2] = {locatedPose(*located[k]), locatedPose(*located[k + 1])};
    const fw::Camera camera[2] = {located[k]->getCamera(0), located[k + 1]->getCamera(0)};
    for (const auto& [id, first] : seen[k]) {
      const auto second = seen[k + 1].find(id);
      if (second == seen[k + 1].end()) continue;
      const Sighting s[2] = {first, second->second};
      cv::Matx33d a = cv::Matx33d::zeros();
      cv::Vec3d b;
      for (int v = 0; v < 2; ++v) {
        const pi::Point3d r = camera[v].UnProject(fw::Point2d(s[v].pixel.x, s[v].pixel.y));
        const cv::Vec3d ray = cv::normalize(pose[v].world_from_camera * cv::Vec3d(r.x, r.y, r.z));
        const cv::Matx33d off_ray = cv::Matx33d::eye() - ray * ray.t();
        a += off_ray;
        b += off_ray * (pose[v].centre - pose[0].centre);  // near the origin for precision
      }
      const cv::Vec3d x = a.solve(b, cv::DECOMP_SVD) + pose[0].centre;
      for (int v = 0; v < 2; ++v) {
        const cv::Vec3d c = pose[v].world_from_camera.t() * (x - pose[v].centre);
        const fw::Point2d uv = camera[v].Project(pi::Point3d(c[0], c[1], c[2]));
        sum += std::pow(uv.x - s[v].pixel.x, 2) + std::pow(uv.y - s[v].pixel.y, 2);
        ++n;
        depth_errors.push_back(std::abs(c[2] / s[v].depth - 1.0));
      }
    }
  }
  return {n > 0 ? std::sqrt(sum / n) : -1.0, depth_errors.empty() ? 1.0 : median(depth_errors)};
}

cv::Mat cameraMatrixOf(const std::vector<double>& p) {
  return (cv::Mat_<double>(3, 3) << p[2], 0, p[4], 0, p[3], p[5], 0, 0, 1);
}
cv::Mat distortionOf(const std::vector<double>& p) {
  if (p.size() < 11) return cv::Mat::zeros(5, 1, CV_64F);
  return (cv::Mat_<double>(5, 1) << p[6], p[7], p[8], p[9], p[10]);
}

// Consecutive pairs rectified with the located poses and cameras as the dense stage does it:
// the median vertical offset, in rectified pixels, of true correspondences (scene points the
// renderer drew in the first view, projected through the true cameras).
double medianRectifiedOffset(const flight::ExampleFlight& f,
                             const std::vector<flight::RenderedView>& views,
                             const Frames& located) {
  const flight::PinholeCamera& cam = f.plan.options.camera;
  std::vector<double> offsets;
  for (size_t i = 0; i + 1 < located.size(); ++i) {
    const TruePose t0 = truePose(f, i), t1 = truePose(f, i + 1);
    std::vector<cv::Point2d> p0, p1;
    for (int r = 10; r < cam.height - 10; r += 23) {
      for (int c = 10; c < cam.width - 10; c += 23) {
        const double z = views[i].depth.at<float>(r, c);
        if (z <= 0) continue;
        const cv::Vec3d world =
            t0.centre + t0.world_from_camera *
                            cv::Vec3d((c - cam.cx) / cam.fx * z, (r - cam.cy) / cam.fy * z, z);
        const cv::Vec3d q = t1.world_from_camera.t() * (world - t1.centre);
        const cv::Point2d uv(cam.fx * q[0] / q[2] + cam.cx, cam.fy * q[1] / q[2] + cam.cy);
        if (uv.x < 0 || uv.y < 0 || uv.x > cam.width - 1 || uv.y > cam.height - 1) continue;
        // Hidden in the second view: the renderer saw something nearer there.
        if (std::abs(views[i + 1].depth.at<float>(cvRound(uv.y), cvRound(uv.x)) - q[2]) >
            0.05 * q[2])
          continue;
        p0.emplace_back(c, r);
        p1.push_back(uv);
      }
    }
    if (p0.empty()) continue;
    const TruePose e0 = locatedPose(*located[i]), e1 = locatedPose(*located[i + 1]);
    const cv::Matx33d r =
        e1.world_from_camera.t() * e0.world_from_camera;  // camera 1 from camera 0
    const cv::Vec3d t = e1.world_from_camera.t() * (e0.centre - e1.centre);
    const std::vector<double> k0 = located[i]->getCamera(0).getParameters(),
                              k1 = located[i + 1]->getCamera(0).getParameters();
    cv::Mat r0, r1, q0, q1, q;
    cv::stereoRectify(cameraMatrixOf(k0), distortionOf(k0), cameraMatrixOf(k1), distortionOf(k1),
                      cv::Size(cam.width, cam.height), cv::Mat(r), cv::Mat(t), r0, r1, q0, q1, q,
                      cv::CALIB_ZERO_DISPARITY, -1);
    std::vector<cv::Point2d> u0, u1;
    cv::undistortPoints(p0, u0, cameraMatrixOf(k0), distortionOf(k0), r0, q0);
    cv::undistortPoints(p1, u1, cameraMatrixOf(k1), distortionOf(k1), r1, q1);
    const bool vertical = std::abs(q1.at<double>(1, 3)) > std::abs(q1.at<double>(0, 3));
    for (size_t k = 0; k < u0.size(); ++k)
      offsets.push_back(vertical ? std::abs(u0[k].x - u1[k].x) : std::abs(u0[k].y - u1[k].y));
  }
  return median(offsets);
}

double focalOf(const Frames& located) { return located.back()->getCamera(0).getParameters()[2]; }

struct SurveyRun {
  flight::ExampleFlight flight;
  std::vector<flight::RenderedView> views;
  Frames direct, refined;
};

SurveyRun runSurvey(const Survey& s) {
  SurveyRun run{makeFlight(s), {}, {}, {}};
  run.views = flight::renderAllFrames(run.flight, VM_RENDER_CACHE);
  FrontEndOptions off;
  off.refinement.enabled = false;
  run.direct = locate(run.flight, run.views, off);
  FrontEndOptions refining;
  refining.refinement.detector = s.detector;
  run.refined = locate(run.flight, run.views, refining);
  return run;
}

void expectInOrder(const Frames& located, size_t count) {
  ASSERT_EQ(located.size(), count);
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(located[i]->id, i);
    const SE3 p = located[i]->getPoseSE3();
    EXPECT_TRUE(std::isfinite(p.q.x + p.q.y + p.q.z + p.q.w + p.t.x + p.t.y + p.t.z))
        << "frame " << i;
    EXPECT_GT(located[i]->observationCount(), 0) << "frame " << i;
  }
}

// What a survey's refinement reaches, against what direct georeferencing gives.
struct Reached {
  Errors before, after;
  double rms = 0.0, depth_error = 0.0, offset_before = 0.0, offset_after = 0.0, focal_error = 0.0;
};

Reached refineSurvey(const Survey& s) {
  const SurveyRun run = runSurvey(s);
  const size_t n = run.flight.plan.frames.size();
  expectInOrder(run.direct, n);
  expectInOrder(run.refined, n);
  Reached r;
  r.before = poseErrors(run.flight, run.direct);
  r.after = poseErrors(run.flight, run.refined);
  std::tie(r.rms, r.depth_error) = mapPointConsistency(run.refined);
  r.offset_before = medianRectifiedOffset(run.flight, run.views, run.direct);
  r.offset_after = medianRectifiedOffset(run.flight, run.views, run.refined);
  r.focal_error = focalOf(run.refined) / run.flight.plan.options.camera.fx - 1.0;
  ::testing::Test::RecordProperty("relative_rotation_deg_before",
                                  std::to_string(r.before.rotation));
  ::testing::Test::RecordProperty("relative_rotation_deg_after", std::to_string(r.after.rotation));
  ::testing::Test::RecordProperty("relative_position_m_before", std::to_string(r.before.position));
  ::testing::Test::RecordProperty("relative_position_m_after", std::to_string(r.after.position));
  ::testing::Test::RecordProperty("relative_position_m_after_similarity",
                                  std::to_string(r.after.position_after_similarity));
  ::testing::Test::RecordProperty("scale_error_expected_from_gps",
                                  std::to_string(r.after.scale_bound));
  ::testing::Test::RecordProperty("mean_centre_error_m_before", std::to_string(r.before.centre));
  ::testing::Test::RecordProperty("mean_centre_error_m_after", std::to_string(r.after.centre));
  ::testing::Test::RecordProperty("focal_error_after", std::to_string(r.focal_error));
  ::testing::Test::RecordProperty("reprojection_rms_px", std::to_string(r.rms));
  ::testing::Test::RecordProperty("rectified_offset_px_before", std::to_string(r.offset_before));
  ::testing::Test::RecordProperty("rectified_offset_px_after", std::to_string(r.offset_after));
  EXPECT_LE(r.depth_error, 0.005) << "the key points' depths are those of the points they see";
  return r;
}

TEST(PoseRefinement, NoisyGpsAttitudeAndFocalLength) {
  VMTEST_PLAIN_BUILD_ONLY();
  const Reached r = refineSurvey({2.0, 1.5, 0.03, 0.75, 5});
  // Over a nearly flat scene a frame moved along the ground and turned by that move over the
  // height looks much the same: what the noisy positions leave of the relative positions
  // beyond a similarity (about a decimetre here) comes back as a few hundredths of a degree.
  EXPECT_LE(r.after.rotation, 0.08) << "before: " << r.before.rotation;
  // The block's scale comes from positions with 2 m of noise: a fraction of a metre over a
  // 22 m baseline is what ten frames can tell.
  EXPECT_LE(r.after.position, r.before.position / 5);
  EXPECT_LE(r.after.position_after_similarity, 0.2);
  EXPECT_LE(r.after.centre, 2.0) << "no drift away from the recorded positions";
  EXPECT_LE(std::abs(r.focal_error), 0.01);
  EXPECT_LE(r.rms, 0.5);
  EXPECT_LE(r.offset_after, 0.5) << "before: " << r.offset_before;
}

TEST(PoseRefinement, LargeAttitudeErrorsAtSixtyPercentOverlap) {
  VMTEST_PLAIN_BUILD_ONLY();
  const Reached r = refineSurvey({3.0, 15.0, 0.03, 0.6, 5});
  // Short strips at 60 % overlap with the attitude nearly unknown: the weakest block.
  EXPECT_LE(r.after.rotation, 0.15) << "before: " << r.before.rotation;
  EXPECT_LE(r.after.position, r.before.position / 5);
  EXPECT_LE(r.after.position_after_similarity, 0.3);
  EXPECT_LE(std::abs(r.focal_error), 0.02);
  EXPECT_LE(r.after.centre, 3.0) << "no drift away from the recorded positions";
  EXPECT_LE(r.rms, 0.5);
  EXPECT_LE(r.offset_after, 0.5) << "before: " << r.offset_before;
}

// SIFT places its features to a few hundredths of a pixel, ORB's corners to about a fifth:
// with SIFT the images alone bring consecutive frames within the survey's targets.
TEST(PoseRefinement, SiftFeaturesReachTheSurveyTargets) {
  VMTEST_PLAIN_BUILD_ONLY();
  const Reached r = refineSurvey({2.0, 1.5, 0.03, 0.75, 5, FeatureDetector::kSift});
  EXPECT_LE(r.after.rotation, 0.05) << "before: " << r.before.rotation;
  EXPECT_LE(r.after.position_after_similarity, 0.05);
  EXPECT_LE(std::abs(r.focal_error), 0.01);
  EXPECT_LE(r.after.centre, 2.0);
  EXPECT_LE(r.rms, 0.5);
  Survey exact;
  exact.detector = FeatureDetector::kSift;
  const SurveyRun run = runSurvey(exact);
  const Errors clean = poseErrors(run.flight, run.refined);
  EXPECT_LE(clean.attitude, 0.01);
  ::testing::Test::RecordProperty("noise_free_worst_attitude_error_deg",
                                  std::to_string(clean.attitude));
}

TEST(PoseRefinement, NoiseFreeFlightStaysOnTheTruth) {
  VMTEST_PLAIN_BUILD_ONLY();
  const SurveyRun run = runSurvey({});
  expectInOrder(run.refined, run.flight.plan.frames.size());
  const Errors after = poseErrors(run.flight, run.refined);
  double worst_centre = 0.0;
  for (size_t i = 0; i < run.refined.size(); ++i) {
    worst_centre = std::max(worst_centre, cv::norm(truePose(run.flight, i).centre -
                                                   locatedPose(*run.refined[i]).centre));
  }
  EXPECT_LE(worst_centre, 0.01);
  // Three hundredths of a degree are a third of a pixel of these small frames.
  EXPECT_LE(after.attitude, 0.03);
  ::testing::Test::RecordProperty("worst_centre_error_m", std::to_string(worst_centre));
  ::testing::Test::RecordProperty("worst_attitude_error_deg", std::to_string(after.attitude));
}

bool samePose(fw::MapFrame& a, fw::MapFrame& b) {
  const SE3 p = a.getPoseSE3(), q = b.getPoseSE3();
  return p.q.x == q.q.x && p.q.y == q.q.y && p.q.z == q.q.z && p.q.w == q.q.w && p.t.x == q.t.x &&
         p.t.y == q.t.y && p.t.z == q.t.z;
}

TEST(PoseRefinement, PairsRelatedOnSeveralThreadsGiveTheSamePoses) {
  const flight::ExampleFlight f = makeFlight({2.0, 1.5, 0.03, 0.75, 4});
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  FrontEndOptions threaded;
  threaded.refinement.threads = 3;
  const Frames one = locate(f, views), three = locate(f, views, threaded);
  ASSERT_EQ(one.size(), three.size());
  // The solver sums in another order on several threads: equal to rounding.
  for (size_t i = 0; i < one.size(); ++i) {
    const TruePose a = locatedPose(*one[i]), b = locatedPose(*three[i]);
    EXPECT_LT(cv::norm(a.centre - b.centre), 1e-4) << "frame " << i;
    EXPECT_LT(angleOf(a.world_from_camera.t() * b.world_from_camera), 1e-5) << "frame " << i;
  }
}

FrontEndOptions refinementOff() {
  FrontEndOptions off;
  off.refinement.enabled = false;
  return off;
}

TEST(PoseRefinement, BadFramesAreSentOnceInOrderWithTheirDirectPoseAndTheRestRefined) {
  const flight::ExampleFlight f = makeFlight({2.0, 1.5, 0.03, 0.75, 5});
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  flight::ExampleFlightOptions elsewhere_options;
  elsewhere_options.flight.camera = f.plan.options.camera;
  elsewhere_options.scene_seed = 99;
  const flight::ExampleFlight elsewhere = flight::makeExampleFlight(elsewhere_options);
  const cv::Mat grey(views[0].image.size(), CV_8UC3, cv::Scalar(128, 128, 128));
  const std::vector<Input> inputs = {
      {0, views[0].image}, {1, views[1].image},
      {2, views[2].image}, {3, grey},                                     // fog
      {4, views[4].image}, {4, views[4].image},                           // taken twice
      {5, views[5].image}, {6, flight::renderFrame(elsewhere, 3).image},  // another place
      {7, views[7].image}, {8, views[8].image},
      {9, views[9].image}};
  testing::CapturedLog log;
  const Frames refined = locateInputs(f, inputs);
  const Frames direct = locateInputs(f, inputs, refinementOff());
  expectInOrder(refined, inputs.size());
  EXPECT_TRUE(samePose(*refined[3], *direct[3])) << "the grey frame keeps its direct pose";
  EXPECT_TRUE(samePose(*refined[7], *direct[7]))
      << "the frame from elsewhere keeps its direct pose";
  EXPECT_EQ(log.count(fw::kLogInfo, {"/data/frame_3.jpg", "direct pose", "features"}), 1);
  EXPECT_EQ(log.count(fw::kLogInfo, {"/data/frame_7.jpg", "direct pose"}), 1);
  int changed = 0;
  for (size_t i : {0, 1, 2, 4, 6, 8, 9}) changed += !samePose(*refined[i], *direct[i]);
  EXPECT_EQ(changed, 7) << "the good frames are refined";
}

TEST(PoseRefinement, ShortRunsAndRunsThatStopEarlySendEveryFrameAtTheEnd) {
  const flight::ExampleFlight f = makeFlight({2.0, 1.5, 0.03, 0.75, 5});
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  expectInOrder(locateInputs(f, {{0, views[0].image}, {1, views[1].image}}), 2);
  // A live run announced with 12 frames that ends after 3: nothing is held back.
  testing::RecordingChain chain;
  GeoreferencingFrontEnd front_end(&chain, {});
  front_end.setFrameCount(12);
  for (size_t i = 0; i < 3; ++i) front_end.addFrame(inputOf(f, i, views[i].image));
  EXPECT_TRUE(chain.frames.empty()) << "frames wait in the refinement window";
  front_end.finishInput();
  expectInOrder(chain.frames, 3);
  EXPECT_NEAR(chain.locateProgress(), 1.0, 1e-12);
}

TEST(PoseRefinement, FeaturelessFlightIsExactlyDirectGeoreferencing) {
  const flight::ExampleFlight f = makeFlight({2.0, 1.5, 0.03, 0.75, 5});
  std::vector<Input> inputs;
  for (size_t i = 0; i < 8; ++i)
    inputs.push_back({i, cv::Mat(480, 640, CV_8UC3, cv::Scalar(20 * i, 100, 50))});
  const Frames refined = locateInputs(f, inputs), direct = locateInputs(f, inputs, refinementOff());
  ASSERT_EQ(refined.size(), direct.size());
  for (size_t i = 0; i < refined.size(); ++i) {
    EXPECT_TRUE(samePose(*refined[i], *direct[i])) << "frame " << i;
    ASSERT_EQ(refined[i]->keyPointCount(), direct[i]->keyPointCount());
    pi::Point3ub a, b;
    refined[i]->getKeyPointColor(0, a);
    direct[i]->getKeyPointColor(0, b);
    EXPECT_EQ(a, b);
  }
}

TEST(PoseRefinement, KeepsOnlyABoundedNumberOfFeatureSets) {
  const flight::ExampleFlight f = makeFlight({2.0, 1.5, 0.03, 0.75, 5});
  const std::vector<flight::RenderedView> views = flight::renderAllFrames(f, VM_RENDER_CACHE);
  RefinementOptions options;
  options.window_size = 3;
  options.first_window = 3;
  options.neighbour_count = 1;
  options.stored_frames = 5;
  options.max_features = 1000;
  options.points_per_frame = 100;
  uint64_t next_id = 1;
  PoseRefiner refiner(options, &next_id);
  size_t sent = 0, most_tracks = 0;
  for (size_t i = 0; i < views.size(); ++i) {
    const IncomingFrame in = readIncomingFrame(*inputOf(f, i, views[i].image));
    sent +=
        refiner.add(in, worldFromCamera(in.latitude, in.longitude, in.altitude, in.angles)).size();
    EXPECT_LE(refiner.storedFrames(), 5u);
    most_tracks = std::max(most_tracks, refiner.storedTracks());
    EXPECT_EQ(sent, i < 3 ? 0 : i - 2) << "a frame leaves once three newer ones came";
  }
  EXPECT_EQ(sent + refiner.finish().size(), views.size());
  EXPECT_LT(most_tracks, 5u * options.max_features);
}

}  // namespace
}  // namespace sfm
