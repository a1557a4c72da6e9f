#include "georeferencing_front_end.h"

#include "direct_georeferencing.h"
#include "located_frame.h"

#include "framework/geodesy.h"
#include "framework/log.h"
#include "framework/run_tally.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace sfm {

GeoreferencingFrontEnd::GeoreferencingFrontEnd(zel::Chain* chain, FrontEndOptions options)
    : chain_(chain),
      options_(std::move(options)),
      progress_("legacy_sfm", chain),
      poses_(options_.work_dir),
      refiner_(options_.refinement, &next_map_point_id_) {
  options_.check();
  progress_.setProgressEntry(ProgressEntry{"Locate", 0.0, 1.0, 1.0f, 0.0f, -1.0, {}});
}

void GeoreferencingFrontEnd::setFrameCount(int count) {
  frame_count_ = count;
  if (!options_.refinement.frames_arrive_live) refiner_.expectFrames(count);
}

bool GeoreferencingFrontEnd::addFrame(std::shared_ptr<fw::MapFrame> frame) {
  if (!frame) return false;
  IncomingFrame in = readIncomingFrame(*frame);
  frame.reset();
  if (!hasUsableCamera(in)) {
    skip(in, "no usable camera calibration");
    return false;
  }
  if (!in.has_position) {
    skip(in, "no usable GPS position");
    return false;
  }
  if (!in.has_height) {
    skip(in, "no usable relative altitude");
    return false;
  }
  const pi::Point3d position = fw::geodeticToECEF(in.latitude, in.longitude, in.altitude);
  if (waiting_) {
    // The run's first frame without attitude looks along the way to this one.
    IncomingFrame first = std::move(*waiting_);
    waiting_.reset();
    const pi::Point3d from = fw::geodeticToECEF(first.latitude, first.longitude, first.altitude);
    travelHeading(from, position, first.latitude, first.longitude, &previous_yaw_);
    first.angles = GimbalAngles{-90.0, previous_yaw_, 0.0};
    locate(std::move(first));
  }
  if (!in.has_attitude) {
    FW_LOG(fw::kLogWarning)
        << "Frame " << in.image_path
        << " has no attitude: taken as looking straight down along the direction of travel.";
    if (!previous_position_) {
      previous_position_ = position;
      waiting_ = std::move(in);
      return true;
    }
    travelHeading(*previous_position_, position, in.latitude, in.longitude, &previous_yaw_);
    in.angles = GimbalAngles{-90.0, previous_yaw_, 0.0};
  }
  previous_position_ = position;
  locate(std::move(in));
  return true;
}

bool GeoreferencingFrontEnd::finishInput() {
  if (waiting_) {
    // A lone frame without attitude: no direction of travel to take its yaw from.
    waiting_->angles = GimbalAngles{-90.0, 0.0, 0.0};
    locate(std::move(*waiting_));
    waiting_.reset();
  }
  for (const RefinedFrame& frame : refiner_.finish()) send(frame);
  progress_.setProgress(1.0, 1.0);
  return true;
}

SE3 GeoreferencingFrontEnd::poseOf(const IncomingFrame& in) const {
  return worldFromCamera(in.latitude, in.longitude, in.altitude, in.angles);
}

void GeoreferencingFrontEnd::locate(IncomingFrame in) {
  const SE3 direct = poseOf(in);
  const std::vector<RefinedFrame> ready = refiner_.add(std::move(in), direct);
  ++taken_;
  reportProgress();
  for (const RefinedFrame& frame : ready) send(frame);
}

void GeoreferencingFrontEnd::send(const RefinedFrame& frame) {
  const IncomingFrame& in = frame.in;
  std::shared_ptr<MapFrame> located;
  if (frame.refined) {
    located = buildRefinedFrame(in, frame.pose, frame.camera, frame.key_points, frame.map_points);
  } else {
    const std::vector<SparsePoint> points = sparseGroundPoints(
        in.camera, frame.pose, ecefFromEnu(in.latitude, in.longitude), in.height, options_.points);
    if (points.empty()) {
      FW_LOG(fw::kLogWarning) << "Frame " << in.image_path
                              << " sees no ground below it: located without sparse points.";
    }
    located = buildLocatedFrame(in, frame.pose, points, &next_map_point_id_);
  }
  poses_.append(in.id, in.image_path, in.latitude, in.longitude, in.altitude, frame.pose,
                frame.refined);
  try {
    chain_->call("frame_located", located);
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "Failed to send located frame " << in.image_path << ": " << e.what();
  }
  frameHandled();
}

void GeoreferencingFrontEnd::skip(const IncomingFrame& in, const char* reason) {
  FW_LOG(fw::kLogError) << "Skipping frame " << in.image_path << ": " << reason << '.';
  // The frame leaves the chain here: the run's summary counts it under its reason.
  fw::RunTally::instance().fail(fw::tally::kFramesLocated, reason);
  ++taken_;
  frameHandled();
}

void GeoreferencingFrontEnd::frameHandled() {
  ++handled_;
  reportProgress();
}

void GeoreferencingFrontEnd::reportProgress() {
  if (frame_count_ <= 0) return;
  const int total = 2 * frame_count_;
  progress_.setProgress(std::min(taken_ + handled_, total), total);
}

}  // namespace sfm
