// Writes the synthetic example survey: rendered JPEG frames, a frame-list file and the
// ground truth of the area. Usage: make_example_flight --out <folder> [options].

#include "example_flight.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <string>

namespace {

const char* kUsage =
    "usage: make_example_flight --out <folder> [--width px] [--height px] [--fx px]\n"
    "  [--altitude m] [--strips n] [--frames-per-strip n] [--forward-overlap 0..1]\n"
    "  [--side-overlap 0..1] [--gps-noise m] [--attitude-noise deg] [--texel m] [--seed n]\n";

int fail(const std::string& message) {
  std::cerr << message << '\n' << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  flight::ExampleFlightOptions options;
  flight::FlightOptions& f = options.flight;
  std::string out;
  const std::map<std::string, std::function<void(const std::string&)>> setters = {
      {"--out", [&](const std::string& v) { out = v; }},
      {"--width", [&](const std::string& v) { f.camera.width = std::stoi(v); }},
      {"--height", [&](const std::string& v) { f.camera.height = std::stoi(v); }},
      {"--fx", [&](const std::string& v) { f.camera.fx = f.camera.fy = std::stod(v); }},
      {"--altitude", [&](const std::string& v) { f.height = std::stod(v); }},
      {"--strips", [&](const std::string& v) { f.strips = std::stoi(v); }},
      {"--frames-per-strip", [&](const std::string& v) { f.frames_per_strip = std::stoi(v); }},
      {"--forward-overlap", [&](const std::string& v) { f.forward_overlap = std::stod(v); }},
      {"--side-overlap", [&](const std::string& v) { f.side_overlap = std::stod(v); }},
      {"--gps-noise", [&](const std::string& v) { f.gps_noise = std::stod(v); }},
      {"--attitude-noise", [&](const std::string& v) { f.attitude_noise = std::stod(v); }},
      {"--texel", [&](const std::string& v) { options.texel = std::stod(v); }},
      {"--seed", [&](const std::string& v) { f.seed = static_cast<unsigned>(std::stoul(v)); }},
  };
  for (int i = 1; i < argc; ++i) {
    const std::string key = argv[i];
    if (key == "--help" || key == "-h") {
      std::cout << kUsage;
      return 0;
    }
    const auto setter = setters.find(key);
    if (setter == setters.end()) return fail("unknown option " + key);
    if (i + 1 >= argc) return fail("missing value for " + key);
    try {
      setter->second(argv[++i]);
    } catch (const std::exception&) {
      return fail(std::string("bad value for ") + key + ": " + argv[i]);
    }
  }
  if (out.empty()) return fail("--out is required");
  try {
    const auto start = std::chrono::steady_clock::now();
    const flight::ExampleFlight example = flight::makeExampleFlight(options);
    const flight::WrittenFlight written = flight::writeExampleFlight(example, out, options.jpeg_quality);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "Wrote " << written.images.size() << " frames and " << written.frame_list.string() << " in " << seconds
              << " s\n";
  } catch (const std::exception& e) {
    std::cerr << "make_example_flight: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
