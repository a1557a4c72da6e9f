#pragma once

// Rendered surveys run through the front end and the errors of what it sends against the
// flights' true poses: shared by the refinement's tests and its accuracy benchmark.

#include "georeferencing_front_end.h"
#include "refinement_options.h"

#include "framework/map_frame.h"
#include "tools/example_flight.h"

#include <opencv2/core.hpp>

#include <filesystem>
#include <memory>
#include <utility>
#include <vector>

namespace sfm::accuracy {

using Frames = std::vector<std::shared_ptr<fw::MapFrame>>;

// Sigmas the frame list states; unset (0), those of the flight's noise (at least 2 cm and
// 0.1 degree).
struct Sigmas {
  double gps = 0.0;       // metres, on each axis
  double attitude = 0.0;  // degrees, on each angle
  // The frame list states none: 5, 10 and 5 m on longitude, latitude and altitude and 5
  // degrees, as the frame reader fills them in.
  bool frame_list_defaults = false;
  bool no_attitude = false;  // the frame list records no attitude at all
};

// A survey of 640 x 480 frames in two strips over the example scene.
struct Survey {
  double gps_noise = 0.0, attitude_noise = 0.0, focal_error = 0.0, forward_overlap = 0.75;
  int frames_per_strip = 5;
  FeatureDetector detector = FeatureDetector::kOrb;
  double attitude_jitter = 1.5;  // degrees of true attitude wander
  double yaw_offset = 0.0;       // degrees added to every recorded heading (a crab angle)
  unsigned seed = 1;             // of the flight's wander and noise
  Sigmas sigmas;
  RefinementOptions refinement;  // its detector is the one above
};

// A survey with the given noise, calibration error, overlap and strip length.
Survey noisySurvey(double gps_noise, double attitude_noise, double focal_error,
                   double forward_overlap = 0.75, int frames_per_strip = 5,
                   FeatureDetector detector = FeatureDetector::kOrb);

flight::ExampleFlight makeFlight(const Survey& s);

// How a receiver without RTK errs besides its white noise: fixes that trail the exposures by
// `lag` metres along the track and sit `side` metres to its right, and an offset that wanders
// by `drift_step` metres (on each axis) from one fix to the next.
struct GpsBias {
  double lag = 0.0, side = 0.0, drift_step = 0.0;
  unsigned seed = 3;
};

// The flight's recorded positions moved by the bias, the track taken from the true positions.
void addGpsBias(flight::ExampleFlight& f, const GpsBias& bias);

// The views as a lens with radial distortion k1, k2 (the frame list's model) shows them: each
// pixel takes the rendered pixel its undistorted ray falls on.
void distortViews(std::vector<flight::RenderedView>& views, const flight::PinholeCamera& camera,
                  double k1, double k2);

// The frame as the mapper hands it in, GPS and attitude sigmas as the frame list states them.
std::shared_ptr<fw::MapFrame> inputOf(const flight::ExampleFlight& f, size_t i,
                                      const cv::Mat& image, const Sigmas& sigmas = {});

// Input frames: the planned frame whose recorded position and attitude go with the image.
struct Input {
  size_t planned;
  cv::Mat image;
};

Frames locateInputs(const flight::ExampleFlight& f, const std::vector<Input>& inputs,
                    FrontEndOptions options = {}, int announced = -1, const Sigmas& sigmas = {});
Frames locate(const flight::ExampleFlight& f, const std::vector<flight::RenderedView>& views,
              FrontEndOptions options = {}, const Sigmas& sigmas = {});

// True camera: earth-centred rotation (world from camera) and centre.
struct TruePose {
  cv::Matx33d world_from_camera;
  cv::Vec3d centre;
};

TruePose truePose(const flight::ExampleFlight& f, size_t i);
TruePose locatedPose(fw::MapFrame& frame);
double angleOf(const cv::Matx33d& r);  // degrees
double median(std::vector<double> v);

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
  double attitude_median = 0.0, attitude_p90 = 0.0;  // absolute rotation errors, degrees
};

Errors poseErrors(const flight::ExampleFlight& f, const Frames& located);

// Map points seen by two consecutive located frames (a stereo pair of the dense stage),
// triangulated from their key points with the located poses and cameras: the root mean
// square reprojection error in pixels, and the median relative difference between a
// triangulated depth and the frame's own depth of the map point (its inverse depth).
std::pair<double, double> mapPointConsistency(const Frames& located);

// Consecutive pairs rectified with the located poses and cameras as the dense stage does it:
// the median vertical offset, in rectified pixels, of true correspondences.
double medianRectifiedOffset(const flight::ExampleFlight& f,
                             const std::vector<flight::RenderedView>& views, const Frames& located);

double focalOf(const Frames& located);  // the last frame's, in pixels

struct SurveyRun {
  flight::ExampleFlight flight;
  std::vector<flight::RenderedView> views;
  Frames direct, refined;  // with the refinement off and on
};

SurveyRun runSurvey(const Survey& s, const std::filesystem::path& render_cache);
// Any flight, with the refinement off and then with `refinement`.
SurveyRun runFlight(flight::ExampleFlight f, const Sigmas& sigmas,
                    const RefinementOptions& refinement, const std::filesystem::path& render_cache);
// The same through a lens with radial distortion k1 that the frame list does not state.
SurveyRun runDistortedFlight(flight::ExampleFlight f, const Sigmas& sigmas, double k1,
                             const std::filesystem::path& render_cache);

// The farthest any frame was sent from its GPS fix (its direct pose), in GPS sigmas on the
// worst of the east, north and up axes.
double farthestFromGps(const SurveyRun& run, const Sigmas& sigmas);

}  // namespace sfm::accuracy
