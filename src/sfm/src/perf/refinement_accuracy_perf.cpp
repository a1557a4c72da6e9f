// Accuracy of the refinement over several noise draws of the rendered surveys, reported as
// counters (one iteration each; the time is that of rendering and locating the draws):
// relative rotation and position of consecutive frames, the camera's focal length, the
// attitude of a noise-free flight and how far frames are sent from their GPS fixes.

#include "refinement_accuracy_for_tests.h"

#include "framework/run_tally.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

namespace {

using sfm::accuracy::Survey;

constexpr unsigned kDraws = 5;

std::filesystem::path renderCache() {
  return std::filesystem::temp_directory_path() / "sfm_accuracy_views";
}

// Medians over the draws of the figures of one survey, seeds 1 to kDraws.
void reportDraws(benchmark::State& state, Survey survey) {
  std::vector<double> rotation, position, similarity, focal, attitude, farthest;
  for (auto _ : state) {
    for (unsigned seed = 1; seed <= kDraws; ++seed) {
      survey.seed = seed;
      const sfm::accuracy::SurveyRun run = sfm::accuracy::runSurvey(survey, renderCache());
      const sfm::accuracy::Errors e = sfm::accuracy::poseErrors(run.flight, run.refined);
      rotation.push_back(e.rotation);
      position.push_back(e.position);
      similarity.push_back(e.position_after_similarity);
      attitude.push_back(e.attitude);
      focal.push_back(
          std::abs(sfm::accuracy::focalOf(run.refined) / run.flight.plan.options.camera.fx - 1.0));
      farthest.push_back(sfm::accuracy::farthestFromGps(run, survey.sigmas));
    }
  }
  auto worst = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
  state.counters["rel_rotation_deg_median"] = sfm::accuracy::median(rotation);
  state.counters["rel_rotation_deg_worst"] = worst(rotation);
  state.counters["rel_position_m_median"] = sfm::accuracy::median(position);
  state.counters["rel_position_after_similarity_m_median"] = sfm::accuracy::median(similarity);
  state.counters["rel_position_after_similarity_m_worst"] = worst(similarity);
  state.counters["attitude_deg_worst"] = worst(attitude);
  state.counters["focal_error_median"] = sfm::accuracy::median(focal);
  state.counters["focal_error_worst"] = worst(focal);
  state.counters["gps_sigmas_worst"] = worst(farthest);
}

// 2 m GPS and 1.5 degree attitude noise, the focal length 3% off.
void BM_NoisySurvey(benchmark::State& state) {
  reportDraws(state, sfm::accuracy::noisySurvey(2.0, 1.5, 0.03, 0.75, 5));
}
BENCHMARK(BM_NoisySurvey)->Iterations(1)->Unit(benchmark::kSecond);

// The same with SIFT features.
void BM_NoisySurveySift(benchmark::State& state) {
  reportDraws(state,
              sfm::accuracy::noisySurvey(2.0, 1.5, 0.03, 0.75, 5, sfm::FeatureDetector::kSift));
}
BENCHMARK(BM_NoisySurveySift)->Iterations(1)->Unit(benchmark::kSecond);

// The same with the headings off by 20 degrees, as when the course is written as the heading.
void BM_CourseAsHeading(benchmark::State& state) {
  Survey s = sfm::accuracy::noisySurvey(2.0, 1.5, 0.03, 0.75, 5);
  s.yaw_offset = 20.0;
  s.sigmas.attitude = 5.0;
  reportDraws(state, s);
}
BENCHMARK(BM_CourseAsHeading)->Iterations(1)->Unit(benchmark::kSecond);

// Exact records but every heading 20 degrees off, with the frame list's default sigmas.
void BM_CourseAsHeadingExactPositions(benchmark::State& state) {
  Survey s;
  s.yaw_offset = 20.0;
  s.sigmas.frame_list_defaults = true;
  reportDraws(state, s);
}
BENCHMARK(BM_CourseAsHeadingExactPositions)->Iterations(1)->Unit(benchmark::kSecond);

// Exact positions, attitude and calibration.
void BM_NoiseFreeSurvey(benchmark::State& state) { reportDraws(state, {}); }
BENCHMARK(BM_NoiseFreeSurvey)->Iterations(1)->Unit(benchmark::kSecond);

// Exact records stated with the frame list's default sigmas (5 m, 5 degrees).
void BM_ExactCalibrationLooseSigmas(benchmark::State& state) {
  Survey s;
  s.sigmas = {5.0, 5.0};
  reportDraws(state, s);
}
BENCHMARK(BM_ExactCalibrationLooseSigmas)->Iterations(1)->Unit(benchmark::kSecond);

// A wobbling camera (8 degrees of tilt) with the focal length 6% short.
void BM_SixPercentFocalError(benchmark::State& state) {
  Survey s = sfm::accuracy::noisySurvey(2.0, 1.5, -0.06, 0.75, 5);
  s.attitude_jitter = 8.0;
  reportDraws(state, s);
}
BENCHMARK(BM_SixPercentFocalError)->Iterations(1)->Unit(benchmark::kSecond);

// The rendered fixed-wing survey (40 frames of 1000 x 750): the frame list as its autopilot
// writes it (course as heading, noise, focal length 6% short; range 0) or exact (range 1),
// with the sigmas the flight maker states (second range 0: its noise, as the end-to-end run
// reads them) or the frame list's defaults (1). Reports one flight, its frames refined and
// the figures above.
void reportFixedWing(benchmark::State& state, flight::ExampleFlightOptions options,
                     const sfm::accuracy::Sigmas& sigmas, const sfm::accuracy::GpsBias& bias,
                     const sfm::RefinementOptions& refinement = {}) {
  for (auto _ : state) {
    flight::ExampleFlight f = flight::makeExampleFlight(options);
    sfm::accuracy::addGpsBias(f, bias);
    fw::RunTally::instance().reset();
    const sfm::accuracy::SurveyRun run =
        sfm::accuracy::runFlight(std::move(f), sigmas, refinement, renderCache());
    const sfm::accuracy::Errors e = sfm::accuracy::poseErrors(run.flight, run.refined);
    const sfm::accuracy::Errors direct = sfm::accuracy::poseErrors(run.flight, run.direct);
    state.counters["frames"] = double(run.refined.size());
    state.counters["refined"] = double(fw::RunTally::instance().count(fw::tally::kFramesRefined));
    state.counters["rel_rotation_deg_median"] = e.rotation;
    state.counters["rel_rotation_deg_median_direct"] = direct.rotation;
    state.counters["rel_position_after_similarity_m_median"] = e.position_after_similarity;
    state.counters["attitude_deg_median"] = e.attitude_median;
    state.counters["attitude_deg_p90"] = e.attitude_p90;
    state.counters["attitude_deg_worst"] = e.attitude;
    state.counters["centre_m_mean"] = e.centre;
    state.counters["centre_m_mean_direct"] = direct.centre;
    state.counters["focal_error"] =
        sfm::accuracy::focalOf(run.refined) / run.flight.plan.options.camera.fx - 1.0;
    state.counters["gps_sigmas_worst"] = sfm::accuracy::farthestFromGps(run, sigmas);
  }
}

void BM_FixedWingFlight(benchmark::State& state) {
  sfm::accuracy::Sigmas sigmas;
  sigmas.frame_list_defaults = state.range(1) == 1;
  reportFixedWing(state, flight::fixedWingFlight(state.range(0) == 1), sigmas, {});
}
BENCHMARK(BM_FixedWingFlight)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// The same flight as its autopilot writes it, its fixes also trailing the exposures by 2 m,
// 1.4 m to the right of the track and drifting by 0.3 m from fix to fix.
// With the sigmas the flight maker states (range 0: its white noise) or the frame list's
// defaults (1).
void BM_FixedWingLaggingGps(benchmark::State& state) {
  sfm::accuracy::Sigmas sigmas;
  sigmas.frame_list_defaults = state.range(0) == 1;
  reportFixedWing(state, flight::fixedWingFlight(false), sigmas, {2.0, 1.4, 0.3});
}
BENCHMARK(BM_FixedWingLaggingGps)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

// Strips of 30 frames, longer than the first window, flown steadily (the body wobbling by 2
// degrees: one strip hardly tells the focal length), as the autopilot writes them: the first
// window grows to the turn (range 0) or stays at its 24 frames (1).
void BM_FixedWingLongStrips(benchmark::State& state) {
  flight::ExampleFlightOptions options = flight::fixedWingFlight(false);
  options.flight.strips = 2;
  options.flight.frames_per_strip = 30;
  options.flight.body_wobble = 2.0;
  sfm::RefinementOptions refinement;
  if (state.range(0) == 1) refinement.longest_first_window = refinement.first_window;
  reportFixedWing(state, options, {}, {}, refinement);
}
BENCHMARK(BM_FixedWingLongStrips)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

// The same flight's frames through a lens with k1 -0.03 that the frame list does not state,
// its records exact (range 1) or as the autopilot writes them (0).
void BM_FixedWingUnstatedDistortion(benchmark::State& state) {
  const bool exact = state.range(0) == 1;
  for (auto _ : state) {
    const sfm::accuracy::SurveyRun run = sfm::accuracy::runDistortedFlight(
        flight::makeExampleFlight(flight::fixedWingFlight(exact)), {}, -0.03, renderCache());
    const sfm::accuracy::Errors e = sfm::accuracy::poseErrors(run.flight, run.refined);
    const std::vector<double> k = run.refined.back()->getCamera(0).getParameters();
    state.counters["k1"] = k[6];
    state.counters["k2"] = k[7];
    state.counters["focal_error"] = k[2] / run.flight.plan.options.camera.fx - 1.0;
    state.counters["rel_rotation_deg_median"] = e.rotation;
    state.counters["rel_position_after_similarity_m_median"] = e.position_after_similarity;
    state.counters["attitude_deg_median"] = e.attitude_median;
  }
}
BENCHMARK(BM_FixedWingUnstatedDistortion)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
