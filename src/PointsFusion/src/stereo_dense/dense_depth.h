#pragma once

// The dense depth stage: pairs of consecutive located frames turned into depth maps of the
// older frame (the reference) by rectification, disparity and conversion to depth.

#include "framework/camera.h"
#include "framework/map_frame.h"
#include "framework/thread_pool.h"
#include "src/PointsFusion/src/stereo_dense/disparity_calculator.h"
#include "src/PointsFusion/src/stereo_dense/image_scaled.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

// [fx 0 cx; 0 fy cy; 0 0 1] of a camera (CV_64F).
cv::Mat cameraMatrix(const fw::Camera& camera);
// (k1, k2, p1, p2, k3) of an 11-parameter camera, zeros for a 6-parameter one (5 x 1 CV_64F).
cv::Mat distortionCoeffs(const fw::Camera& camera);

class DenseDepth {
 public:
  // One step of the feed's back-pressure wait, told how many pair tasks are queued.
  using WaitStep = std::function<void(uint64_t queued)>;

  // Chooses the calculator: SGM_GPU when "pointsfusion.dense_method" is 3 and a CUDA device
  // answers with memory to spare, SGM_CPU otherwise.
  explicit DenseDepth(float scale);
  DenseDepth(float scale, std::shared_ptr<DisparityCalculator> calculator);
  // Runs every queued pair task first, so every published result is fulfilled.
  ~DenseDepth();
  DenseDepth(const DenseDepth&) = delete;
  DenseDepth& operator=(const DenseDepth&) = delete;

  // Feeds one located frame: it is paired with the frame fed before it, whose depth map is
  // computed on the pool and announced at once on "sbt.dense_frame". One feed at a time;
  // the feeding thread waits while more than kMaxQueuedPairs pair tasks are queued.
  void AddFrame(std::shared_ptr<fw::MapFrame> frame);
  // The pair task: the reference once a neighbour gave it a depth map, else empty. Logs one
  // "Frame ID:" line; never throws.
  std::shared_ptr<ImageScaled> RunDepthTask(std::shared_ptr<ImageScaled> reference,
                                            std::vector<std::shared_ptr<ImageScaled>> neighbours);
  // The record of a frame, appended to `pairs`.
  void MakeImageScaled(std::shared_ptr<fw::MapFrame> frame);
  // Replaces the 100 ms sleep of the back-pressure wait; call before the first frame.
  void setWaitStep(WaitStep step);

  // Pixels per GPU matcher band for the free device memory (MiB); 0 for none.
  static int gpuBandPixels(uint64_t freeMiB);

  // A copy of a frame of the concrete frame class (key points, observations, pose), so that
  // the dense stages hold no reference into the front end's frames; other frames are
  // returned as they are. The incoming frame's image is released.
  static std::shared_ptr<fw::MapFrame> PrepareFrame(std::shared_ptr<fw::MapFrame> frame);

  // Depth map of `reference` from the pair with `neighbour`. On success the reference record
  // holds its rectified view, camera, pose, count map, depth map and depth range. False,
  // with a log line naming the frame, when the pair gives no depth map; never throws.
  bool ComputeDepth(std::shared_ptr<ImageScaled> reference, std::shared_ptr<ImageScaled> neighbour);

  std::mutex disparityMutex;  // one disparity computation of the stage at a time
  std::shared_ptr<DisparityCalculator> calculator;
  float scale;  // image reduction factor; work is never narrower than kMinWorkWidth

  static constexpr int kMinWorkWidth = 960;
  static constexpr double kMinDepthShare = 0.2;  // of the pixels, for a usable depth map

  static constexpr uint64_t kMaxQueuedPairs = 8;  // queued pair tasks the feed lets pass
  static constexpr int kMaxThreads = 64;
  static constexpr uint64_t kGpuMemoryStepMiB = 1536;  // where the band rule changes branch
  static constexpr uint64_t kSmallGpuMemoryMiB = 512;  // below this a warning is logged
  static constexpr int64_t kMaxBandPixels = 2097152;

  std::mutex listMutex;                           // guards pairs
  std::list<std::shared_ptr<ImageScaled>> pairs;  // the newest records, oldest first

 private:
  bool computeDepth(ImageScaled& reference, const ImageScaled& neighbour);

  // "pointsfusion.dense_thread_num", kept within 1 .. kMaxThreads.
  static int threadCount();
  static std::shared_ptr<fw::detail::ThreadPool> makePool();
  static void sleepStep(uint64_t queued);
  const char* deviceName() const;

  std::mutex feedMutex_;  // held for a whole AddFrame
  WaitStep waitStep_ = sleepStep;
  std::shared_ptr<fw::detail::ThreadPool> pool_ = makePool();
};
