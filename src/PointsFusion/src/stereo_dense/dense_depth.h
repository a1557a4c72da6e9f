#pragma once

// The dense depth stage: pairs of consecutive located frames turned into depth maps of the
// older frame (the reference) by rectification, disparity and conversion to depth.

#include "framework/bounded_pool.h"
#include "framework/camera.h"
#include "framework/map_frame.h"
#include "src/PointsFusion/src/stereo_dense/dense_depth_options.h"
#include "src/PointsFusion/src/stereo_dense/disparity_calculator.h"
#include "src/PointsFusion/src/stereo_dense/image_scaled.h"
#include "src/PointsFusion/src/stereo_dense/pair_choice.h"

#include <opencv2/core.hpp>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// [fx 0 cx; 0 fy cy; 0 0 1] of a camera (CV_64F).
cv::Mat cameraMatrix(const fw::Camera& camera);
// (k1, k2, p1, p2, k3) of an 11-parameter camera, zeros for a 6-parameter one (5 x 1 CV_64F).
cv::Mat distortionCoeffs(const fw::Camera& camera);
// A valid pinhole (6 parameters) or OpenCV (11) camera: the models the dense stage takes.
bool supportedCamera(const fw::Camera& camera);

// Why a pair gave no depth map: short reasons that group alike failures in the run's tally.
namespace pair_failure {
inline constexpr char kDuplicate[] = "duplicate frames";
inline constexpr char kUnusableInput[] = "unusable camera or image";
inline constexpr char kNoBaseline[] = "no baseline";
inline constexpr char kDepthRange[] = "depth range";
inline constexpr char kNoOverlap[] = "no overlap";
inline constexpr char kNoDisparity[] = "no disparity";
inline constexpr char kFewPixels[] = "too few valid pixels";
inline constexpr char kFault[] = "matcher fault";
}  // namespace pair_failure

class DenseDepth {
 public:
  // Chooses the calculator: SGM_GPU when "pointsfusion.dense_method" is 3 and a CUDA device
  // answers with memory to spare, SGM_CPU otherwise. The stage's settings are read once,
  // from the store, when it is built.
  explicit DenseDepth(float scale);
  DenseDepth(float scale, std::shared_ptr<DisparityCalculator> calculator);
  DenseDepth(float scale, std::shared_ptr<DisparityCalculator> calculator,
             const DenseDepthOptions& options);
  // Pairs the last frame fed with the recent frame that suits it best (so the run's last
  // frame gets a depth map too), then runs every queued pair task, so every published
  // result is fulfilled.
  ~DenseDepth();
  DenseDepth(const DenseDepth&) = delete;
  DenseDepth& operator=(const DenseDepth&) = delete;

  // Feeds one located frame. The frame fed before it becomes the reference of a pair: with
  // this frame when it sees enough of the reference's ground, else with the recent frame
  // that does (a strip's last frame with the one before it); when that pair gives no depth
  // map, with the other recent frames that share enough of its ground. The depth map is
  // computed on the pool and announced on "sbt.dense_frame" in the order the frames were
  // fed. Before it takes the frame, the feeding thread blocks, holding no lock, while more
  // than kMaxQueuedPairs pair tasks are queued; a subscriber's own wait is likewise made
  // with no lock of the stage held.
  void AddFrame(std::shared_ptr<fw::MapFrame> frame);
  // Blocks, holding no lock, while more than kMaxQueuedPairs pair tasks are queued; false
  // once the stage is closing.
  bool waitForRoom();
  // The pair task: the reference, with its depth map once a neighbour gave one and without
  // (depth empty) when none did, so that a failed frame still travels down the chain in its
  // place. Neighbours are tried in order; a fault of the matcher ends the tries. Empty only
  // without a reference. Logs one "Frame ID:" line, counts the depth map or the failure's
  // reason in the run's tally; never throws.
  std::shared_ptr<ImageScaled> RunDepthTask(std::shared_ptr<ImageScaled> reference,
                                            std::vector<std::shared_ptr<ImageScaled>> neighbours);
  // The record of a frame, its image decoded reduced for work at workingScale, appended to
  // `pairs`.
  void MakeImageScaled(std::shared_ptr<fw::MapFrame> frame);
  // The share of a source `width` pixels wide the stage works at: 1 / scale, but never
  // narrower than kMinWorkWidth and never enlarged.
  double workingScale(double width) const;
  // Called when a feed is about to block on the back-pressure, with the queued pair tasks.
  void setBlockHook(fw::BoundedPool::BlockHook hook);
  const DenseDepthOptions& options() const { return options_; }

  // Pixels per GPU matcher band for the free device memory (MiB); 0 for none.
  static int gpuBandPixels(uint64_t freeMiB);

  // A copy of a frame of the concrete frame class (key points, observations, pose), so that
  // the dense stages hold no reference into the front end's frames; other frames are
  // returned as they are. The incoming frame's image is released.
  static std::shared_ptr<fw::MapFrame> PrepareFrame(std::shared_ptr<fw::MapFrame> frame);

  // Depth map of `reference` from the pair with `neighbour`. On success the reference record
  // holds its rectified view, camera, pose, count map, depth map and depth range. False,
  // with a log line naming the frame and `reason` (when given) set to one of pair_failure's
  // reasons, when the pair gives no depth map; never throws.
  bool ComputeDepth(std::shared_ptr<ImageScaled> reference, std::shared_ptr<ImageScaled> neighbour,
                    const char** reason = nullptr);

  std::mutex disparityMutex;  // one disparity computation of the stage at a time
  std::shared_ptr<DisparityCalculator> calculator;
  float scale;  // image reduction factor; work is never narrower than kMinWorkWidth

  static constexpr int kMinWorkWidth = 960;
  static constexpr double kMinDepthShare = 0.2;  // of the pixels, for a usable depth map
  // The sparse points' depth extent is widened by this share on both sides: ground just
  // beyond the furthest clustered point still gets a depth.
  static constexpr double kRangeMargin = 0.1;

  static constexpr uint64_t kMaxQueuedPairs = 8;       // queued pair tasks the feed lets pass
  static constexpr size_t kRecentFrames = 3;           // earlier frames a reference may pair with
  static constexpr uint64_t kGpuMemoryStepMiB = 1536;  // where the band rule changes branch
  static constexpr uint64_t kSmallGpuMemoryMiB = 512;  // below this a warning is logged
  static constexpr int64_t kMaxBandPixels = 2097152;

  std::mutex listMutex;                           // guards pairs
  std::list<std::shared_ptr<ImageScaled>> pairs;  // the newest records, oldest first

 private:
  bool computeDepth(ImageScaled& reference, const ImageScaled& neighbour, const char*& reason);
  // The motion T (reference camera to neighbour camera) to rectify with: the poses' when
  // they fit the frames' shared key points (pair_motion::fitsTracks) or the two images'
  // matches tell no clearly better rotation and baseline direction (pair_motion::correct);
  // `focal` is the working focal length in pixels.
  static SE3 imageMotion(const ImageScaled& reference, const ImageScaled& neighbour, const SE3& T,
                         double focal);
  // A queued pair task's future with its place in the order of publication.
  struct Queued {
    uint64_t turn = 0;
    std::shared_future<std::shared_ptr<ImageScaled>> result;
  };
  // Queues the pair task of `reference` with `neighbours` (tried in order until one gives a
  // depth map); called under feedMutex_, which hands out the turns.
  Queued queuePair(const std::shared_ptr<ImageScaled>& reference,
                   const std::vector<std::shared_ptr<ImageScaled>>& neighbours);
  // Publishes a queued result once every earlier one is published; no lock is held while a
  // subscriber holds the feed back, and the turn passes on every way out.
  void publishInTurn(const Queued& queued);
  // Pairs the frame under feedMutex_; the pair to publish, if any.
  std::optional<Queued> feedLocked(std::shared_ptr<fw::MapFrame> frame);
  struct Seen;
  // The partners of `reference`, the newest frame in `seen_`, among `next` (the frame fed
  // after it, if any) and the frames before it: the chosen one, then those to try when it
  // gives no depth map.
  std::vector<std::shared_ptr<ImageScaled>> partnersOf(
      const std::shared_ptr<ImageScaled>& reference, const Seen* next) const;
  // Pairs the last frame fed, which no later frame will pair.
  std::optional<Queued> pairLastFrame();
  const char* deviceName() const;

  const DenseDepthOptions options_;
  std::mutex feedMutex_;   // held while a frame is paired and its task queued
  uint64_t nextTurn_ = 0;  // guarded by feedMutex_
  std::mutex turnMutex_;
  std::condition_variable turnPassed_;
  uint64_t publishedTurns_ = 0;  // guarded by turnMutex_
  // The last frames fed with what they see of the ground, oldest first; the newest is the
  // record in `pairs`. Touched by the feed only.
  struct Seen {
    std::shared_ptr<ImageScaled> record;
    pair_choice::View view;
  };
  std::deque<Seen> seen_;
  std::unique_ptr<fw::BoundedPool> pool_;
};
