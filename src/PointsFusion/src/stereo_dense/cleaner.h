#pragma once

#include "framework/bounded_pool.h"
#include "framework/messenger.h"
#include "framework/pose.h"
#include "src/PointsFusion/src/stereo_dense/image_scaled.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// Tunables of the consistency filter, read from the configuration store once, when the
// cleaner is built.
struct CleanerOptions {
  int queueSize = 2;  // "pointsfusion.clean_queuesize": frames queued before the oldest is cleaned
  int minConsistentViews = 2;  // "pointsfusion.min_consistent_views": count that confirms a pixel
  float sameDepthThreshold =
      0.01f;  // "pointsfusion.same_depth_threshold": relative depth tolerance

  // The stored settings, mended, then checked.
  static CleanerOptions fromConfig();
  // Raises minConsistentViews to 2 (below it every agreeing pixel would be zeroed) and
  // queueSize to minConsistentViews (below it every frame has too few views), with a warning.
  void mend();
  // Throws std::invalid_argument, naming the setting, for values `mend` would change.
  void check() const;
};

// The multi-view consistency filter. Depth frames arrive as futures on "sbt.dense_frame"
// (or ready on "sbt.dense_frame_test"); the oldest queued frame is tested against the other
// queued frames and published on "sbt.cleaned_frames". A frame whose pair gave no depth map
// is published unchanged once every older frame has gone, so that the products still take
// it in order. The destructor's final pass publishes every frame still queued, in ascending
// identifier order.
class Cleaner {
 public:
  using DepthResult = std::shared_future<std::shared_ptr<ImageScaled>>;

  // One view of a clean job: maps, camera matrix and the world-to-camera transform.
  struct View {
    uint64_t id = 0;
    cv::Mat depth;  // CV_32F, 0 or less = no depth
    cv::Mat count;  // CV_8U, same size; written in place for the reference
    // CV_8U, same size, reference only: set where the depth was confirmed only by views of
    // the reference's own image pair (sameImagePair). Written when not empty.
    cv::Mat pairOnly;
    std::optional<uint64_t> pairedWith;  // the frame the depth map was matched against
    fw::Matrix3 K{};
    fw::Matrix3 R{};  // world to camera
    pi::Point3d t;
    float depthMax = 0;
    bool hasRange = false;  // an unset range skips the maximum-depth test
  };
  struct Workspace {
    std::vector<View> views;  // the reference first
    float sameDepthThreshold = 0.01f;
    int minConsistentViews = 2;
  };

  // Clean tasks queued at which the publisher of "sbt.dense_frame" is held back: it blocks,
  // on a condition variable, until a worker takes one.
  static constexpr uint64_t kMaxQueuedTasks = 5;

  // `blockHook` is told the queued clean tasks when a publisher is about to be held back.
  explicit Cleaner(fw::BoundedPool::BlockHook blockHook = nullptr);
  ~Cleaner();
  Cleaner(const Cleaner&) = delete;
  Cleaner& operator=(const Cleaner&) = delete;

  void OnDenseFrame(const DepthResult& result);
  void OnDenseFrameTest(const std::shared_ptr<ImageScaled>& frame);
  void OnInputStop(const bool& stop);

  // Cleans and publishes the oldest queued frame once enough are queued; true when it did.
  bool Process();

  // The consistency rule: edits the reference's count map in place, and marks in its pairOnly
  // mask the depths that only views of its own image pair agree with.
  static void CleanFrame(Workspace& job);

  // Whether two views' depth maps were matched from the same two images (each frame paired
  // with the other): their agreement repeats one matching and confirms nothing.
  static bool sameImagePair(const View& a, const View& b);

  // A view of a record; false when its maps are missing or do not match.
  static bool makeView(const ImageScaled& frame, View& view);

  const CleanerOptions& options() const { return options_; }

 private:
  void CleanTask(DepthResult result);
  bool processLocked();
  // Publishes the frames without a depth map at the front of the queue.
  void publishLeadingDepthless();
  void finalPass();
  // Builds the job for `reference` against `others` (then `extra` when given), runs it and
  // publishes the reference. Throws what cleaning or publishing throws.
  void cleanAndPublish(const std::shared_ptr<ImageScaled>& reference,
                       const std::list<std::shared_ptr<ImageScaled>>& others, const View* extra);

  std::mutex mutex_;  // guards frames_ and lastPublished_; held by every Process
  std::list<std::shared_ptr<ImageScaled>> frames_;
  std::optional<View> lastPublished_;  // maps and camera of the last published frame
  std::atomic<bool> stopped_{false};
  const CleanerOptions options_;
  std::unique_ptr<fw::BoundedPool> pool_;
  fw::Subscriber denseSub_;
  fw::Subscriber stopSub_;
  fw::Subscriber testSub_;
};
