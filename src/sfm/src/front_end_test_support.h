#pragma once

// Helpers of the front end's tests: a chain that records what the front end sends, a log
// sink that keeps the lines written while it is registered, and mapper-like input frames.

#include "chain/progress_entry.h"
#include "chain/zel_node.h"
#include "framework/captured_log_for_tests.h"
#include "framework/diy_frame.h"
#include "framework/log.h"

#include <mutex>
#include <string>
#include <vector>

namespace sfm::testing {

// The mapper's side of the chain: records every command with its frame and the root
// progress at that moment.
class RecordingChain : public zel::Chain {
 public:
  RecordingChain() : zel::Chain("Mapper", nullptr) { setProgressEntry(taskProgressModel()); }

  void call(const std::string& command, std::shared_ptr<fw::GObject> argument) override {
    commands.push_back(command);
    frames.push_back(std::dynamic_pointer_cast<fw::MapFrame>(argument));
  }

  double rootProgress() const { return progressEntry().progress; }
  double locateProgress() const {
    const ProgressEntry e = progressEntry();
    return e.children.at(0).progress / e.children.at(0).total;
  }

  std::vector<std::string> commands;
  std::vector<std::shared_ptr<fw::MapFrame>> frames;
};

using fwtest::CapturedLog;

// GPS records laid out as the mapper's frames carry them.
inline std::vector<double> gpsRecord(double lat, double lon, double alt, double relative_altitude) {
  return {lon, lat, alt, 0.02, 0.02, 0.02, relative_altitude, 10.0};
}
inline std::vector<double> gpsRecord(double lat, double lon, double alt, double relative_altitude,
                                     double pitch, double yaw, double roll) {
  return {lon,  lat,   alt, 0.02, 0.02, 0.02, relative_altitude,
          10.0, pitch, yaw, roll, 0.1,  0.1,  0.1};
}

inline std::vector<double> calibration() {
  return {640, 480, 500, 500, 319.5, 239.5, 0, 0, 0, 0, 0};
}

inline std::shared_ptr<fw::MapFrame> inputFrame(uint64_t id, const std::vector<double>& gps,
                                                const std::vector<double>& camera = calibration(),
                                                const fw::GImage& image = fw::GImage()) {
  return std::make_shared<MapFrame>(id, 1701532800.0 + id, image,
                                    "/data/frame_" + std::to_string(id) + ".jpg",
                                    fw::Camera(camera), gps, 1);
}

}  // namespace sfm::testing
