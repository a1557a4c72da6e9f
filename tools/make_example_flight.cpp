// Writes the synthetic example survey: rendered JPEG frames, a frame-list file and the
// ground truth of the area. Usage: make_example_flight --out <folder> [options].

#include "example_flight.h"
#include "rendered_view_cache.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* kUsage =
    "usage: make_example_flight --out <folder> [--width px] [--height px] [--fx px]\n"
    "  [--altitude m] [--strips n] [--frames-per-strip n] [--forward-overlap 0..1]\n"
    "  [--side-overlap 0..1] [--gps-noise m] [--attitude-noise deg] [--texel m] [--seed n]\n"
    "  [--vignetting 0..1] [--exposure-spread s] [--fixed-wing [--real] [--exact]]\n"
    "  [--views-cache folder]\n"
    "--fixed-wing starts from the fixed-wing survey (40 frames of 1000 x 750, or of --width\n"
    "  x 3/4 width: a noisy frame list, the course as the heading, the focal length 6% short);\n"
    "  --exact records its true positions, attitudes and calibration. Other options apply on "
    "top.\n"
    "--fixed-wing --real makes that survey as hard as a real one: 64 frames in 4 strips and the\n"
    "  turns between them (at 13.7 m/s, the camera triggering every 35 m throughout), a lens\n"
    "  with barrel distortion (k1 -0.03, k2 0.01) that the frame list does not state, GPS fixes\n"
    "  2 m late along the track, 1.4 m right of it and drifting slowly (1.5 m, 0.7 kept from\n"
    "  frame to frame), 35% darker image corners (--vignetting), an exposure step between\n"
    "  frames (--exposure-spread, 0.1 in log units), fainter field texture; with --exact the\n"
    "  frame list states the truth, the lens's distortion included.\n"
    "--views-cache keeps the rendered frames in a file of that folder and reads them from there\n"
    "  when the same flight is made again (its exact and noisy frame lists fly the same frames).\n";

int fail(const std::string& message) {
  std::cerr << message << '\n' << kUsage;
  return 2;
}

// A whole-text integer in [low, high]; throws with the accepted range otherwise.
long long integerIn(const std::string& text, long long low, long long high) {
  std::size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < low || value > high) {
    throw std::invalid_argument("an integer from " + std::to_string(low) + " to " +
                                std::to_string(high) + " is needed");
  }
  return value;
}

// A whole-text finite number above `low` (or at it when `lowIncluded`) and below `high`.
double numberIn(const std::string& text, double low, bool lowIncluded, double high) {
  std::size_t used = 0;
  double value = 0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  const bool aboveLow = lowIncluded ? value >= low : value > low;
  if (used == 0 || used != text.size() || !std::isfinite(value) || !aboveLow || !(value < high)) {
    std::ostringstream need;
    need << "a finite number " << (lowIncluded ? "from " : "above ") << low << " and below " << high
         << " is needed";
    throw std::invalid_argument(need.str());
  }
  return value;
}

constexpr double kUnbounded = std::numeric_limits<double>::infinity();

// The fixed-wing preset when the arguments ask for it (its size from --width), else the
// default flight. Switches are taken out of the arguments.
flight::ExampleFlightOptions startingOptions(std::vector<std::string>* args) {
  bool fixed_wing = false, exact = false, real = false;
  int width = 1000;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args->size(); ++i) {
    const std::string& a = (*args)[i];
    if (a == "--fixed-wing") {
      fixed_wing = true;
    } else if (a == "--exact") {
      exact = true;
    } else if (a == "--real") {
      real = true;
    } else {
      if (a == "--width" && i + 1 < args->size()) {
        try {
          width = int(integerIn((*args)[i + 1], 40, 20000));
        } catch (const std::exception&) {
          // the setter reports the bad value
        }
      }
      rest.push_back(a);
    }
  }
  if (exact && !fixed_wing) throw std::invalid_argument("--exact needs --fixed-wing");
  if (real && !fixed_wing) throw std::invalid_argument("--real needs --fixed-wing");
  *args = rest;
  if (!fixed_wing) return flight::ExampleFlightOptions{};
  return real ? flight::realFlight(exact, width) : flight::fixedWingFlight(exact, width);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  flight::ExampleFlightOptions options;
  try {
    options = startingOptions(&args);
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  const bool fixed_wing = flight::isFixedWing(options.flight);
  flight::FlightOptions& f = options.flight;
  std::string out;
  std::string views_cache;
  const std::map<std::string, std::function<void(const std::string&)>> setters = {
      {"--out", [&](const std::string& v) { out = v; }},
      {"--views-cache", [&](const std::string& v) { views_cache = v; }},
      {"--width",
       [&](const std::string& v) {
         // The fixed-wing preset took its whole camera from the width already.
         const int width = int(integerIn(v, fixed_wing ? 40 : 8, 20000));
         if (!fixed_wing) f.camera.width = width;
       }},
      {"--height", [&](const std::string& v) { f.camera.height = int(integerIn(v, 8, 20000)); }},
      {"--fx",
       [&](const std::string& v) { f.camera.fx = f.camera.fy = numberIn(v, 0, false, 1e6); }},
      {"--altitude", [&](const std::string& v) { f.height = numberIn(v, 0, false, 1e5); }},
      {"--strips", [&](const std::string& v) { f.strips = int(integerIn(v, 1, 1000)); }},
      {"--frames-per-strip",
       [&](const std::string& v) { f.frames_per_strip = int(integerIn(v, 1, 10000)); }},
      {"--forward-overlap",
       [&](const std::string& v) { f.forward_overlap = numberIn(v, 0, true, 1); }},
      {"--side-overlap", [&](const std::string& v) { f.side_overlap = numberIn(v, 0, true, 1); }},
      {"--gps-noise",
       [&](const std::string& v) { f.gps_noise = numberIn(v, 0, true, kUnbounded); }},
      {"--attitude-noise",
       [&](const std::string& v) { f.attitude_noise = numberIn(v, 0, true, 90); }},
      {"--texel", [&](const std::string& v) { options.texel = numberIn(v, 0, false, 1e4); }},
      {"--vignetting", [&](const std::string& v) { f.vignetting = numberIn(v, 0, true, 1); }},
      {"--exposure-spread",
       [&](const std::string& v) { f.exposure_spread = numberIn(v, 0, true, 1); }},
      {"--seed", [&](const std::string& v) { f.seed = unsigned(integerIn(v, 0, 4294967295LL)); }},
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& key = args[i];
    if (key == "--help" || key == "-h") {
      std::cout << kUsage;
      return 0;
    }
    const auto setter = setters.find(key);
    if (setter == setters.end()) return fail("unknown option " + key);
    if (i + 1 >= args.size()) return fail("missing value for " + key);
    try {
      setter->second(args[++i]);
    } catch (const std::exception& e) {
      return fail(std::string("bad value for ") + key + ": " + args[i] + " (" + e.what() + ")");
    }
  }
  if (out.empty()) return fail("--out is required");
  try {
    const auto start = std::chrono::steady_clock::now();
    const flight::ExampleFlight example = flight::makeExampleFlight(options);
    // Without a cache the frames are rendered one at a time as they are written; with one,
    // the whole flight's views are held once, read from the cache or rendered into it.
    const flight::WrittenFlight written =
        views_cache.empty()
            ? flight::writeExampleFlight(example, out, options.jpeg_quality)
            : flight::writeExampleFlight(example, flight::renderAllFrames(example, views_cache),
                                         out, options.jpeg_quality);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "Wrote " << written.images.size() << " frames and " << written.frame_list.string()
              << " in " << seconds << " s\n";
  } catch (const std::exception& e) {
    std::cerr << "make_example_flight: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
