#pragma once

#include "incoming_frame.h"
#include "pose_log.h"
#include "pose_refiner.h"
#include "refinement_options.h"
#include "sparse_ground_points.h"

#include "chain/zel_node.h"
#include "framework/slam.h"

#include <filesystem>
#include <memory>
#include <optional>

namespace sfm {

struct FrontEndOptions {
  SparsePointOptions points;
  std::filesystem::path work_dir;  // the pose file goes here; none when empty
  RefinementOptions refinement;

  // Throws std::invalid_argument, naming the setting, for values outside their ranges.
  void check() const {
    points.check();
    refinement.check();
  }
};

// Our front end: it locates each frame by direct georeferencing, from its GPS position,
// gimbal angles, relative altitude and calibration, refines the poses and the camera from
// image features within a sliding window (PoseRefiner) and sends each frame with
// "frame_located" once it has left the window; finishInput sends the rest. The mapper
// calls setFrameCount, addFrame for each frame and finishInput from its run thread, one
// after the other.
//
// A refined frame's key points observe the triangulated map points it sees. A frame that
// is not refined keeps its direct pose and key points on a grid observing the ground below
// it (see sparse_ground_points.h); so without usable image features the output is that of
// direct georeferencing.
//
// A frame without a usable GPS position, relative altitude or camera is skipped with an
// error line naming its image path. A frame without attitude is taken as looking straight
// down with its yaw along the direction of travel from the previous frame; the first such
// frame of a run waits for the next one (or for finishInput, when it keeps yaw 0).
//
// Progress goes to a node under the mapper whose entry is "Locate": the share of frames
// handled when the count is known, and 1.0 at finishInput in every case.
class GeoreferencingFrontEnd : public fw::SLAM {
 public:
  GeoreferencingFrontEnd(zel::Chain* chain, FrontEndOptions options);

  bool addFrame(std::shared_ptr<fw::MapFrame> frame) override;
  bool finishInput() override;
  void setFrameCount(int count) override;

 private:
  // Direct pose of a frame with a position: the starting point and fallback of the refinement.
  SE3 poseOf(const IncomingFrame& in) const;
  void locate(IncomingFrame in);
  void send(const RefinedFrame& frame);
  void skip(const IncomingFrame& in, const char* reason);
  void frameHandled();
  // Of the frames the run brings, each counts half once the refiner has taken it in and
  // whole once sent or skipped: a frame list adjusted whole shows its progress while its
  // frames come, not only when the first is sent.
  void reportProgress();

  zel::Chain* chain_;
  FrontEndOptions options_;
  zel::Node progress_;
  PoseLog poses_;
  int frame_count_ = -1;
  int taken_ = 0;    // frames the refiner took in, or skipped
  int handled_ = 0;  // frames sent or skipped
  uint64_t next_map_point_id_ = 1;
  PoseRefiner refiner_;
  std::optional<IncomingFrame> waiting_;  // first frame without attitude, until the next arrives
  std::optional<pi::Point3d>
      previous_position_;  // earth-centred, of the last frame with a position
  double previous_yaw_ = 0.0;
};

}  // namespace sfm
