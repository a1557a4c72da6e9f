#include "refinement_accuracy_for_tests.h"

#include "front_end_test_support.h"
#include "tools/geo_frame.h"
#include "tools/rendered_view_cache.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <Eigen/Geometry>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <random>

namespace sfm::accuracy {

Survey noisySurvey(double gps_noise, double attitude_noise, double focal_error,
                   double forward_overlap, int frames_per_strip, FeatureDetector detector) {
  Survey s;
  s.gps_noise = gps_noise;
  s.attitude_noise = attitude_noise;
  s.focal_error = focal_error;
  s.forward_overlap = forward_overlap;
  s.frames_per_strip = frames_per_strip;
  s.detector = detector;
  return s;
}

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
  o.flight.attitude_jitter = s.attitude_jitter;
  o.flight.seed = s.seed;
  flight::ExampleFlight f = flight::makeExampleFlight(o);
  for (flight::PlannedFrame& p : f.plan.frames) p.recorded_attitude[1] += s.yaw_offset;
  return f;
}

void addGpsBias(flight::ExampleFlight& f, const GpsBias& bias) {
  const flight::FlightOptions& o = f.plan.options;
  const cv::Matx33d ecef_from_enu = flight::ecefFromEnu(o.latitude, o.longitude);
  std::mt19937 rng(bias.seed);
  std::normal_distribution<double> step(0.0, bias.drift_step > 0.0 ? bias.drift_step : 1.0);
  cv::Vec3d drift(0.0, 0.0, 0.0);
  std::vector<flight::PlannedFrame>& frames = f.plan.frames;
  for (size_t i = 0; i < frames.size(); ++i) {
    const cv::Vec3d& before = frames[i == 0 ? 0 : i - 1].placement.position;
    const cv::Vec3d& after = frames[std::min(i + 1, frames.size() - 1)].placement.position;
    cv::Vec3d along(after[0] - before[0], after[1] - before[1], 0.0);
    along = cv::normalize(along);
    const cv::Vec3d right(along[1], -along[0], 0.0);
    if (bias.drift_step > 0.0) drift += cv::Vec3d(step(rng), step(rng), step(rng));
    const cv::Vec3d shift = -bias.lag * along + bias.side * right + drift;
    const cv::Vec3d ecef =
        flight::ecefFromGeodetic(frames[i].recorded_geodetic[0], frames[i].recorded_geodetic[1],
                                 frames[i].recorded_geodetic[2]) +
        ecef_from_enu * shift;
    frames[i].recorded_geodetic = flight::geodeticFromEcef(ecef);
  }
}

void distortViews(std::vector<flight::RenderedView>& views, const flight::PinholeCamera& camera,
                  double k1, double k2) {
  const cv::Mat k =
      (cv::Mat_<double>(3, 3) << camera.fx, 0, camera.cx, 0, camera.fy, camera.cy, 0, 0, 1);
  const cv::Mat d = (cv::Mat_<double>(4, 1) << k1, k2, 0, 0);
  std::vector<cv::Point2f> distorted, undistorted;
  for (int y = 0; y < camera.height; ++y)
    for (int x = 0; x < camera.width; ++x) distorted.emplace_back(float(x), float(y));
  cv::undistortPoints(distorted, undistorted, k, d, cv::noArray(), k);
  cv::Mat map(camera.height, camera.width, CV_32FC2, undistorted.data());
  for (flight::RenderedView& view : views) {
    cv::Mat image;
    cv::remap(view.image, image, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_REFLECT);
    view.image = image;
  }
}

std::shared_ptr<fw::MapFrame> inputOf(const flight::ExampleFlight& f, size_t i,
                                      const cv::Mat& image, const Sigmas& sigmas) {
  const flight::PlannedFrame& p = f.plan.frames[i];
  const flight::FlightOptions& o = f.plan.options;
  const double s = sigmas.gps > 0.0 ? sigmas.gps : std::max(o.gps_noise, 0.02);
  const double a = sigmas.attitude > 0.0 ? sigmas.attitude : std::max(o.attitude_noise, 0.1);
  const bool loose = sigmas.frame_list_defaults;
  const std::vector<double> gps = {
      p.recorded_geodetic[1], p.recorded_geodetic[0], p.recorded_geodetic[2], loose ? 5.0 : s,
      loose ? 10.0 : s,       loose ? 5.0 : s,        p.relative_altitude,    10.0,
      p.recorded_attitude[0], p.recorded_attitude[1], p.recorded_attitude[2], loose ? 5.0 : a,
      loose ? 5.0 : a,        loose ? 5.0 : a};
  std::vector<double> record = gps;
  if (sigmas.no_attitude) record.resize(8);
  const flight::PinholeCamera c = flight::recordedCamera(o);
  return testing::inputFrame(
      i, record, {double(c.width), double(c.height), c.fx, c.fy, c.cx, c.cy, 0, 0, 0, 0, 0},
      fw::GImage(image));
}

Frames locateInputs(const flight::ExampleFlight& f, const std::vector<Input>& inputs,
                    FrontEndOptions options, int announced, const Sigmas& sigmas) {
  testing::RecordingChain chain;
  GeoreferencingFrontEnd front_end(&chain, options);
  front_end.setFrameCount(announced < 0 ? static_cast<int>(inputs.size()) : announced);
  for (size_t i = 0; i < inputs.size(); ++i) {
    auto frame = inputOf(f, inputs[i].planned, inputs[i].image, sigmas);
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
              FrontEndOptions options, const Sigmas& sigmas) {
  std::vector<Input> inputs;
  for (size_t i = 0; i < views.size(); ++i) inputs.push_back({i, views[i].image});
  return locateInputs(f, inputs, options, -1, sigmas);
}

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

// Median relative position error of consecutive frames after the best similarity that
// carries the estimated centres onto the true ones.
namespace {

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

}  // namespace

Errors poseErrors(const flight::ExampleFlight& f, const Frames& located) {
  std::vector<double> rotation, position, attitude;
  std::vector<cv::Vec3d> true_centres, centres;
  Errors e;
  for (size_t i = 0; i < located.size(); ++i) {
    const TruePose truth = truePose(f, i), est = locatedPose(*located[i]);
    true_centres.push_back(truth.centre);
    centres.push_back(est.centre);
    e.centre += cv::norm(truth.centre - est.centre) / located.size();
    attitude.push_back(angleOf(truth.world_from_camera.t() * est.world_from_camera));
    e.attitude = std::max(e.attitude, attitude.back());
    if (i == 0) continue;
    const TruePose truth0 = truePose(f, i - 1), est0 = locatedPose(*located[i - 1]);
    const cv::Matx33d true_relative = truth0.world_from_camera.t() * truth.world_from_camera;
    const cv::Matx33d est_relative = est0.world_from_camera.t() * est.world_from_camera;
    rotation.push_back(angleOf(true_relative.t() * est_relative));
    position.push_back(cv::norm((truth.centre - truth0.centre) - (est.centre - est0.centre)));
  }
  e.rotation = median(rotation);
  e.position = median(position);
  e.attitude_median = median(attitude);
  std::sort(attitude.begin(), attitude.end());
  e.attitude_p90 = attitude[attitude.size() * 9 / 10];
  e.position_after_similarity = relativePositionAfterSimilarity(true_centres, centres);
  const cv::Vec3d mean = std::accumulate(true_centres.begin(), true_centres.end(), cv::Vec3d()) /
                         double(true_centres.size());
  double spread = 0.0;
  for (const cv::Vec3d& c : true_centres) spread += cv::norm(c - mean, cv::NORM_L2SQR);
  e.scale_bound = f.plan.options.gps_noise / std::sqrt(spread);
  return e;
}

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

namespace {

cv::Mat cameraMatrixOf(const std::vector<double>& p) {
  return (cv::Mat_<double>(3, 3) << p[2], 0, p[4], 0, p[3], p[5], 0, 0, 1);
}
cv::Mat distortionOf(const std::vector<double>& p) {
  if (p.size() < 11) return cv::Mat::zeros(5, 1, CV_64F);
  return (cv::Mat_<double>(5, 1) << p[6], p[7], p[8], p[9], p[10]);
}

}  // namespace

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

SurveyRun runFlight(flight::ExampleFlight f, const Sigmas& sigmas,
                    const RefinementOptions& refinement,
                    const std::filesystem::path& render_cache) {
  SurveyRun run{std::move(f), {}, {}, {}};
  run.views = flight::renderAllFrames(run.flight, render_cache);
  FrontEndOptions off;
  off.refinement.enabled = false;
  run.direct = locate(run.flight, run.views, off, sigmas);
  FrontEndOptions refining;
  refining.refinement = refinement;
  run.refined = locate(run.flight, run.views, refining, sigmas);
  return run;
}

SurveyRun runDistortedFlight(flight::ExampleFlight f, const Sigmas& sigmas, double k1,
                             const std::filesystem::path& render_cache) {
  SurveyRun run{std::move(f), {}, {}, {}};
  run.views = flight::renderAllFrames(run.flight, render_cache);
  distortViews(run.views, run.flight.plan.options.camera, k1, 0.0);
  FrontEndOptions off;
  off.refinement.enabled = false;
  run.direct = locate(run.flight, run.views, off, sigmas);
  run.refined = locate(run.flight, run.views, {}, sigmas);
  return run;
}

SurveyRun runSurvey(const Survey& s, const std::filesystem::path& render_cache) {
  RefinementOptions refinement = s.refinement;
  refinement.detector = s.detector;
  return runFlight(makeFlight(s), s.sigmas, refinement, render_cache);
}

double farthestFromGps(const SurveyRun& run, const Sigmas& sigmas) {
  const flight::FlightOptions& o = run.flight.plan.options;
  const double sigma = sigmas.gps > 0.0 ? sigmas.gps : std::max(o.gps_noise, 0.02);
  const cv::Vec3d axis_sigma =
      sigmas.frame_list_defaults ? cv::Vec3d(5.0, 10.0, 5.0) : cv::Vec3d(sigma, sigma, sigma);
  const cv::Matx33d enu_from_ecef = flight::ecefFromEnu(o.latitude, o.longitude).t();
  double farthest = 0.0;
  for (size_t i = 0; i < run.refined.size(); ++i) {
    const cv::Vec3d offset =
        enu_from_ecef * (locatedPose(*run.refined[i]).centre - locatedPose(*run.direct[i]).centre);
    for (int a = 0; a < 3; ++a) farthest = std::max(farthest, std::abs(offset[a]) / axis_sigma[a]);
  }
  return farthest;
}

}  // namespace sfm::accuracy
