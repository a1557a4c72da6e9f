// The floor under the mapping program's time per frame: over a frame list, decode each
// image, reduce it to the dense stage's working size and match it with the frame before it
// by the dense stage's CPU matcher, nothing else. The flight benchmark runs it beside the
// program, pinned alike, and divides the two times.
//
// Usage: bare_decode_sgbm --frames frames.json [--scale 4] [--disparities N]
// Prints one JSON line: frames, seconds, seconds per frame, the time of each step and the
// process's CPU seconds.
// Without --disparities the search spans what the dense stage would search for the pair:
// from the frames' recorded positions and heights above ground, the disparities of ground
// 10 % nearer and farther, the upper end widened by the stage's search factor.

#include "framework/frame_image_decoding.h"
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kEarthRadius = 6378137.0;
constexpr double kDegree = M_PI / 180.0;
// The dense stage's reduction, its smallest working width, depth margin and search factor.
constexpr double kDefaultScale = 4.0;
constexpr double kMinWorkWidth = 960.0;
constexpr double kRangeMargin = 0.1;
constexpr double kSearchFactor = 3.0;

struct Options {
  std::string frames;
  double scale = kDefaultScale;
  int disparities = 0;  // 0: from the flight's geometry
};

struct FrameRecord {
  std::string uri;
  double longitude = 0, latitude = 0, height = 0, fx = 0, width = 0;
};

struct Seconds {
  double decode = 0, reduce = 0, match = 0;
};

// User and system CPU seconds of the process so far: on a shared machine the wall clock also
// counts other programs' turns on the same cores.
double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool parseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--frames")) {
      options.frames = argv[i + 1];
    } else if (!std::strcmp(argv[i], "--scale")) {
      options.scale = std::atof(argv[i + 1]);
    } else if (!std::strcmp(argv[i], "--disparities")) {
      options.disparities = std::atoi(argv[i + 1]);
    } else {
      return false;
    }
  }
  return !options.frames.empty() && options.scale >= 1.0 && options.disparities >= 0;
}

std::vector<FrameRecord> readFrames(const std::string& path) {
  std::ifstream in(path);
  const nlohmann::json list = nlohmann::json::parse(in);
  std::vector<FrameRecord> frames;
  for (const nlohmann::json& doc : list) {
    FrameRecord f;
    f.uri = doc.at("uri").get<std::string>();
    f.longitude = doc.at("gps").at("longitude").get<double>();
    f.latitude = doc.at("gps").at("latitude").get<double>();
    f.height = doc.value("relative_altitude", 0.0);
    f.fx = doc.at("calibration").at("fx").get<double>();
    f.width = doc.at("calibration").at("width").get<double>();
    frames.push_back(f);
  }
  return frames;
}

// The working scale the dense stage picks for a frame this wide.
double workScale(double width, double scale) {
  double s = 1.0 / scale;
  if (width * s < kMinWorkWidth) s = kMinWorkWidth / width;
  return std::min(s, 1.0);
}

// dmin and dmax the dense stage would derive for ground at the frames' height.
void searchRange(const FrameRecord& a, const FrameRecord& b, double scale, int& dmin, int& dmax) {
  const double north = (b.latitude - a.latitude) * kDegree * kEarthRadius;
  const double east =
      (b.longitude - a.longitude) * kDegree * kEarthRadius * std::cos(a.latitude * kDegree);
  const double baseline = std::hypot(north, east);
  const double f = a.fx * workScale(a.width, scale);
  const double height = std::max(0.5 * (a.height + b.height), 1.0);
  dmin = int(std::floor(baseline * f / (height * (1 + kRangeMargin))));
  dmax = int(std::floor(baseline * f / (height * (1 - kRangeMargin))) * kSearchFactor);
}

cv::Mat reduced(const cv::Mat& image, double scale) {
  const double s = workScale(image.cols, scale);
  cv::Mat small, grey;
  cv::resize(image, small, cv::Size(), s, s, cv::INTER_AREA);
  cv::cvtColor(small, grey, cv::COLOR_BGR2GRAY);
  return grey;
}

cv::Mat decodeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  return fw::decodeFrameImage(bytes);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, options)) {
    std::cerr << "Usage: bare_decode_sgbm --frames frames.json [--scale S>=1] [--disparities N]\n";
    return 2;
  }
  std::vector<FrameRecord> frames;
  try {
    frames = readFrames(options.frames);
  } catch (const std::exception& e) {
    std::cerr << "Cannot read the frame list " << options.frames << ": " << e.what() << "\n";
    return 1;
  }
  Seconds spent;
  cv::Mat previous;
  int matched = 0;
  const Clock::time_point started = Clock::now();
  const double cpuAtStart = cpuSeconds();
  for (size_t i = 0; i < frames.size(); ++i) {
    Clock::time_point step = Clock::now();
    const cv::Mat image = decodeFile(frames[i].uri);
    spent.decode += since(step);
    if (image.empty()) {
      std::cerr << "Cannot decode " << frames[i].uri << "\n";
      return 1;
    }
    step = Clock::now();
    cv::Mat grey = reduced(image, options.scale);
    spent.reduce += since(step);
    if (!previous.empty() && previous.size() == grey.size()) {
      int dmin = 0, dmax = options.disparities - 1;
      if (options.disparities == 0)
        searchRange(frames[i - 1], frames[i], options.scale, dmin, dmax);
      dmax = std::min(std::max(dmax, dmin), grey.cols);
      step = Clock::now();
      SGM_CPU().Compute(previous, grey, dmin, dmax);
      spent.match += since(step);
      ++matched;
    }
    previous = grey;
  }
  const double seconds = since(started);
  const double cpu = cpuSeconds() - cpuAtStart;
  const size_t n = std::max<size_t>(frames.size(), 1);
  nlohmann::json out = {{"frames", frames.size()},  {"pairs", matched},
                        {"seconds", seconds},       {"seconds_per_frame", seconds / n},
                        {"decode_s", spent.decode}, {"reduce_s", spent.reduce},
                        {"match_s", spent.match},   {"cpu_s", cpu}};
  std::cout << out.dump() << std::endl;
  return 0;
}
