#pragma once

#include "frame_features.h"
#include "frame_resection.h"
#include "gps_jitter.h"
#include "incoming_frame.h"
#include "pose_gate.h"
#include "refinement_block.h"
#include "refinement_options.h"

#include "framework/camera.h"
#include "framework/map_point.h"
#include "framework/pose.h"

#include <Eigen/Core>

#include <deque>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sfm {

// A frame ready to be sent: refined, with the map points its key points observe, or with
// its direct pose.
struct RefinedFrame {
  IncomingFrame in;
  SE3 pose;  // world_from_camera, earth-centred
  bool refined = false;
  fw::Camera camera;                                      // the refined camera of a refined frame
  std::vector<cv::Point2f> key_points;                    // refined frames: pixels of
  std::vector<std::shared_ptr<fw::MapPoint>> map_points;  // the map points they observe
};

// Refines the poses of the frames and their camera from image features within a sliding
// window: each frame's features are matched with the window's frames and its nearest
// earlier frames, verified with the essential matrix, placed relative to its best match
// (rotation and baseline direction from the images, baseline length from the recorded
// positions) and adjusted together with the window. A frame leaves the window, oldest
// first, once `window_size` newer frames have arrived (`first_window` for the first frame,
// so that the camera is refined over a longer stretch of the flight; at once when it has no
// features to be matched by and every frame before it has gone, after the first); it is
// sent refined when it saw enough map points in an accepted adjustment and otherwise with
// its direct pose. A frame the gate refuses as misplaced is set aside: the block is adjusted
// again without it, and it comes back only at the next adjustment of the whole window.
// Frames that have left the window hold still in later adjustments, and
// so do the cameras from the first frame sent on: every frame sent, refined or not,
// carries the one camera of its calibration.
//
// Every frame given to `add` comes out of `add` or `finish` exactly once, in the order
// given. A frame's features are taken on a thread of their own while the frame before it is
// refined, so a frame is refined when the next one comes (or at `finish`); the poses are the
// same as when every step ran on one thread. The pairs of a new frame are related on up to
// `threads` threads. Failures of a step (an exception, a degenerate pair, a failed solve)
// are logged with the image path and cost only that step.
class PoseRefiner {
 public:
  PoseRefiner(RefinementOptions options, uint64_t* next_map_point_id);

  // The frame (its image still held) and its direct pose; returns the frames now ready.
  std::vector<RefinedFrame> add(IncomingFrame in, const SE3& direct);
  std::vector<RefinedFrame> finish();
  // Frames the run will bring, when known (a frame list): the first window takes them all,
  // up to `frame_list_window`, so that the camera and the GPS's lever come from the whole
  // flight, its turns and strips flown both ways, before the first frame is sent.
  void expectFrames(int count) { expected_frames_ = count; }

  // Memory held for matching: feature sets and tracks.
  size_t storedFrames() const { return stored_.size(); }
  size_t storedTracks() const { return block_.tracks.size(); }

 private:
  struct Pending {
    IncomingFrame in;
    SE3 direct;
    const char* failure;  // why the frame is not refined, in short, when it is not
    std::string reason;   // the same with its figures
  };

  // A frame given to `add`, its features being taken meanwhile (none while the refinement is
  // off).
  struct Arrival {
    IncomingFrame in;
    SE3 direct;
    std::future<FrameFeatures> features;
  };

  // Refines the oldest frame given to `add` not yet refined, once its features are taken,
  // and adds the frames now ready to `ready`.
  void admitOldestArrival(std::vector<RefinedFrame>* ready);
  // Frames the window holds before its first frame goes: `first_window`, or while the images
  // do not yet tell every camera's focal length, up to `longest_first_window`.
  int firstWindow();
  bool cameraTold() const;
  void refine(Pending& pending, const FrameFeatures& features);
  bool enterBlock(Pending& pending, const FrameFeatures& features);
  std::vector<uint64_t> partnersOf(const BlockFrame& frame, double reach) const;
  void placeAsRoot(BlockFrame& frame);
  // Places a frame relative to its best partner as the pair's motion tells it: false when it
  // has none or the partner is not placed.
  bool placeFromPair(BlockFrame& frame);
  // camera_from_local of a frame's recorded (or assumed) attitude.
  static Eigen::Matrix3d recordedAttitude(const BlockFrame& frame);
  // Adjusts the frames of the window: all of them with the cameras free, or (`whole` false,
  // within a long first window) only the newest, the others holding still, so that the
  // first window costs about as much per frame as the sliding one.
  // Before adjusting the whole window (and `take_back`), the frames set aside come back where
  // takeBackSetAside places them.
  void adjustWindow(bool whole = true, bool take_back = true);
  // Sets aside the frames of `free` the gate refused (`verdicts`, one each) as misplaced: they
  // no longer take part in the block's adjustments. Of two frames collapsed onto each other,
  // the one lying farther from its fix. True when any was set aside.
  bool setAsideMisplaced(const std::vector<uint64_t>& free,
                         const std::vector<GateVerdict>& verdicts);
  // A frame refused while the block was young may fit the grown one: each frame set aside
  // and still in the window is placed again, where the map points it sees put it if the gate
  // accepts that pose, else from its best pair, and is adjusted and gated with the others.
  void takeBackSetAside();
  // While the first window fills: whether the newest frame calls for adjusting all of it
  // (each time it has doubled since the last such adjustment).
  bool wholeWindowDue() const;
  // The tracks the features of `frames` are in, each once, in ascending order.
  std::vector<int> tracksSeenBy(const std::vector<uint64_t>& frames) const;
  // The frames of the block placed now, the ones a pose is gated against.
  std::vector<const BlockFrame*> placedFrames() const;
  Pending& pendingOf(uint64_t id);
  // The GPS sigmas a frame's fix is held to: its stated ones, or the scatter of the flight's
  // fixes about their track where that is less.
  Eigen::Vector3d heldGpsSigma(const BlockFrame& frame) const;
  // Before the first frame leaves: the cameras and how firmly the recorded headings hold,
  // decided once from the adjusted window.
  void settleBefore();
  bool settleCameras();   // true when a camera went back to its calibration
  bool settleHeadings();  // true when the headings hold firmly from now on
  void evictOldFrames();
  RefinedFrame deliver(Pending pending);
  bool buildRefined(BlockFrame& frame, RefinedFrame* out);
  // A frame the images did not place, from its direct `pose` and its refined neighbours: their
  // mean turn from the recorded attitude where it exceeds `least_turn` radians (a body-fixed
  // camera's crab and bank change slowly), the flight's GPS lever along its own course and
  // the drift they show. False when no refined frame lies near enough.
  bool placeFromNeighbours(uint64_t id, double least_turn, SE3* pose) const;
  // camera_from_local of such a frame: its recorded attitude (`direct`'s) turned as its
  // refined neighbours `near` turn from theirs, its heading by the flight's offset for its
  // course.
  Eigen::Matrix3d neighboursAttitude(uint64_t id, const std::vector<const BlockFrame*>& near,
                                     double least_turn, const SE3& direct) const;
  // A frame that only weak pairs tie, from the ground its refined partners see through the
  // ties, held near its fix and taken only when firm (tie_resection.h);
  // `account` tells what the ties showed. `pose` holds its direct pose on entry.
  bool placeFromTies(const BlockFrame& frame, double least_turn, SE3* pose,
                     std::string* account) const;
  // The nearest refined frames on either side of a frame, within reach (none when none is).
  std::vector<const BlockFrame*> refinedNeighbours(uint64_t id) const;
  // Where a fix taken along `track` lies from its centre: the block's lever along that track
  // and the mean drift of the frames `near` (none without any).
  Eigen::Vector3d fixBias(const std::vector<const BlockFrame*>& near,
                          const Eigen::Vector2d& track) const;
  // A frame the images did not refine, from the map points its features see (placed by the
  // refined frames around it): the pose that puts enough of them where it sees them, within
  // reach of its fix. False otherwise.
  bool placeFromPoints(const BlockFrame& frame, SE3* pose) const;
  // Where such a frame is held: its fix less the lever along its track and the drift of its
  // refined neighbours `near`, as loosely as the fix is stated.
  HeldCentre heldNearFix(const BlockFrame& frame, const std::vector<const BlockFrame*>& near) const;
  // The resection placeFromPoints makes: false where it fails or lies beyond the fix's reach.
  bool resectNearFix(const BlockFrame& frame, Resection* resection) const;
  // The earth-centred world_from_camera of a local camera_from_local and centre; false when
  // not finite.
  bool earthPose(const Eigen::Matrix3d& camera_from_local, const Eigen::Vector3d& centre,
                 SE3* pose) const;
  // Radians about up that the refined frames turn from their recorded attitudes, as a function
  // of the direction of travel (east, north unit): a constant and the sine and cosine of the
  // course, fitted to every refined frame of the block. An autopilot that records its course
  // as the heading is off by the crab angle, which the wind sets by the course: opposite on
  // the way back, in between in a turn. False while too few frames tell it.
  bool headingOffsetFor(const Eigen::Vector2d& track, double* offset) const;
  // The constant, sine and cosine factors of that fit; false while too few frames tell it.
  bool fitHeadingOffsets(Eigen::Vector3d* fit) const;
  // A refined frame's turn about up from its recorded attitude, and its row of the fit:
  // 1 and the sine and cosine of its course (its direction of travel east and north).
  struct CourseOffset {
    Eigen::Vector3d row;
    double offset;
  };
  std::vector<CourseOffset> courseOffsets() const;
  // Where the recorded headings are off by the crab alone: each frame's heading held to its
  // record turned by the fit for its course, as firmly as the fit tells it. True when they
  // now hold so.
  bool holdHeadingsToCourseOffsets();
  // A frame entering the block after the headings were settled holds as the others do, to
  // the fit settled then.
  void holdHeading(BlockFrame& frame) const;
  // East and north unit direction of travel of a frame whose fix is `fix` (local): its own in
  // the block, or from the fixes of the block's frames on either side; zero where none tells.
  Eigen::Vector2d trackAt(uint64_t id, const Eigen::Vector3d& fix) const;
  // Logs once that frames come decoded coarser than the feature image this refiner asks for.
  void noteCoarseImage(const IncomingFrame& in);

  RefinementOptions options_;
  uint64_t* next_map_point_id_;
  std::deque<Arrival> arriving_;  // at most one: the newest frame
  std::deque<Pending> pending_;
  RefinementBlock block_;
  std::deque<uint64_t> stored_;   // frames in the block, oldest first
  std::set<uint64_t> set_aside_;  // frames the gate refused as misplaced; never anchors
  // The pair each frame was placed from: its partner, the turn from the partner's camera to
  // the frame's and the direction of the frame's centre in the partner's camera.
  struct BestPair {
    uint64_t partner = 0;
    Eigen::Matrix3d b_from_a = Eigen::Matrix3d::Identity();
    Eigen::Vector3d centre_b_in_a = Eigen::Vector3d::Zero();
  };
  std::map<uint64_t, BestPair> best_pairs_;
  bool cameras_settled_ = false;   // the cameras hold from then on, refined or as calibrated
  bool headings_trusted_ = false;  // the recorded headings agreed with the flight's
  // Radians: the scatter of the recorded headings about the crab the flight shows for their
  // course, where they are held to it; 0 otherwise.
  double course_offset_sigma_ = 0.0;
  Eigen::Vector3d course_offset_fit_ = Eigen::Vector3d::Zero();  // fitHeadingOffsets' then
  bool told_coarse_images_ = false;  // a coarser image than asked for was reported
  bool told_first_window_grows_ = false;
  int expected_frames_ = 0;            // 0 while unknown
  size_t whole_adjusted_at_ = 0;       // frames in the window at its last whole adjustment
  std::map<int, double> focal_sigma_;  // per camera, from its last adjustment while free
  GpsJitter gps_jitter_;               // of the fixes of the frames in the block
  bool has_origin_ = false;
  Eigen::Vector3d origin_ = Eigen::Vector3d::Zero();  // earth-centred
  Eigen::Matrix3d ecef_from_local_ = Eigen::Matrix3d::Identity();
};

}  // namespace sfm
