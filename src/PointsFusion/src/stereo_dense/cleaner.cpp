#include "src/PointsFusion/src/stereo_dense/cleaner.h"

#include "framework/config_store.h"
#include "framework/log.h"
#include "src/PointsFusion/src/stereo_dense/stage_clock.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>

namespace {

constexpr int kMaxCount = 255;

uint64_t idOf(const std::shared_ptr<ImageScaled>& frame) { return frame->frame->id; }

// A frame whose pair gave no depth map: it only passes through, in its place in the order.
bool depthless(const std::shared_ptr<ImageScaled>& frame) { return frame->depth.empty(); }

// Inverse by cofactors; false for a singular (or non-finite) matrix.
bool invert(const fw::Matrix3& m, fw::Matrix3& inv) {
  const double c00 = m[4] * m[8] - m[5] * m[7];
  const double c01 = m[5] * m[6] - m[3] * m[8];
  const double c02 = m[3] * m[7] - m[4] * m[6];
  const double det = m[0] * c00 + m[1] * c01 + m[2] * c02;
  if (det == 0.0 || !std::isfinite(det)) return false;
  const double s = 1.0 / det;
  inv = {c00 * s, (m[2] * m[7] - m[1] * m[8]) * s, (m[1] * m[5] - m[2] * m[4]) * s,
         c01 * s, (m[0] * m[8] - m[2] * m[6]) * s, (m[2] * m[3] - m[0] * m[5]) * s,
         c02 * s, (m[1] * m[6] - m[0] * m[7]) * s, (m[0] * m[4] - m[1] * m[3]) * s};
  return true;
}

fw::Matrix3 multiply(const fw::Matrix3& a, const fw::Matrix3& b) {
  fw::Matrix3 r{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r[i * 3 + j] += a[i * 3 + k] * b[k * 3 + j];
  return r;
}

fw::Matrix3 transposed(const fw::Matrix3& a) {
  return {a[0], a[3], a[6], a[1], a[4], a[7], a[2], a[5], a[8]};
}

pi::Point3d apply(const fw::Matrix3& m, const pi::Point3d& p) {
  return {m[0] * p.x + m[1] * p.y + m[2] * p.z, m[3] * p.x + m[4] * p.y + m[5] * p.z,
          m[6] * p.x + m[7] * p.y + m[8] * p.z};
}

// Pixel of view j for a reference pixel at depth d: x_j = d * M p + b, with p = (c, r, 1).
// M and b fold the reference's unprojection and view j's projection into one affine map,
// which keeps earth-centred coordinates (millions of metres) out of the per-pixel sums.
struct ViewMap {
  fw::Matrix3 M;
  pi::Point3d b;
};

ViewMap viewMap(const Cleaner::View& ref, const fw::Matrix3& kinv, const Cleaner::View& view) {
  const fw::Matrix3 jFromRef = multiply(view.R, transposed(ref.R));
  const pi::Point3d shifted = apply(jFromRef, ref.t);
  const pi::Point3d tj(view.t.x - shifted.x, view.t.y - shifted.y, view.t.z - shifted.z);
  return {multiply(view.K, multiply(jFromRef, kinv)), apply(view.K, tj)};
}

}  // namespace

CleanerOptions CleanerOptions::fromConfig() {
  fw::Var& config = fw::Var::instance();
  CleanerOptions o;
  o.queueSize = *config.GetInt("pointsfusion.clean_queuesize", 2);
  o.minConsistentViews = *config.GetInt("pointsfusion.min_consistent_views", 2);
  o.sameDepthThreshold =
      static_cast<float>(*config.GetDouble("pointsfusion.same_depth_threshold", 0.01));
  o.mend();
  o.check();
  return o;
}

void CleanerOptions::mend() {
  if (minConsistentViews < 2) {
    FW_LOG(fw::kLogWarning) << "pointsfusion.min_consistent_views " << minConsistentViews
                            << " is below 2; using 2.";
    minConsistentViews = 2;
  }
  if (queueSize < minConsistentViews) {
    FW_LOG(fw::kLogWarning) << "pointsfusion.clean_queuesize " << queueSize
                            << " is below the views needed to confirm a pixel; using "
                            << minConsistentViews << ".";
    queueSize = minConsistentViews;
  }
}

void CleanerOptions::check() const {
  if (minConsistentViews < 2) {
    throw std::invalid_argument("pointsfusion.min_consistent_views must be at least 2, not " +
                                std::to_string(minConsistentViews));
  }
  if (queueSize < minConsistentViews) {
    throw std::invalid_argument(
        "pointsfusion.clean_queuesize must be at least the views needed to confirm a pixel (" +
        std::to_string(minConsistentViews) + "), not " + std::to_string(queueSize));
  }
}

Cleaner::Cleaner(fw::BoundedPool::BlockHook blockHook)
    : options_(CleanerOptions::fromConfig()), pool_(std::make_unique<fw::BoundedPool>(1)) {
  pool_->setBlockHook(std::move(blockHook));
  fw::Messenger& messenger = fw::Messenger::instance();
  denseSub_ = messenger.subscribe("sbt.dense_frame", 0, &Cleaner::OnDenseFrame, this);
  stopSub_ = messenger.subscribe("sbt.input.stop", 0, &Cleaner::OnInputStop, this);
  testSub_ = messenger.subscribe("sbt.dense_frame_test", 0, &Cleaner::OnDenseFrameTest, this);
}

Cleaner::~Cleaner() {
  pool_->cancel();  // a publisher still held back goes on at once
  denseSub_.shutdown();
  testSub_.shutdown();
  pool_.reset();  // runs every queued clean task first
  stopSub_.shutdown();
  finalPass();
}

void Cleaner::OnDenseFrame(const DepthResult& result) {
  pool_->add([this, result] { CleanTask(result); });
  pool_->waitForRoom(kMaxQueuedTasks - 1);
}

void Cleaner::OnDenseFrameTest(const std::shared_ptr<ImageScaled>& frame) {
  if (!frame) return;
  if (!frame->frame) {
    FW_LOG(fw::kLogError) << "Cleaner: a depth frame without its frame was skipped.";
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.push_back(frame);
  processLocked();
}

void Cleaner::OnInputStop(const bool&) { stopped_ = true; }

void Cleaner::CleanTask(DepthResult result) {
  std::shared_ptr<ImageScaled> frame;
  try {
    if (!result.valid()) {
      FW_LOG(fw::kLogError) << "Cleaner::CleanTask: a depth result without a state was skipped.";
      return;
    }
    frame = result.get();
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "Cleaner::CleanTask: a failed depth result was skipped: " << e.what();
    return;
  } catch (...) {
    FW_LOG(fw::kLogError) << "Cleaner::CleanTask: a failed depth result was skipped.";
    return;
  }
  OnDenseFrameTest(frame);
}

bool Cleaner::Process() {
  std::lock_guard<std::mutex> lock(mutex_);
  return processLocked();
}

void Cleaner::publishLeadingDepthless() {
  while (!frames_.empty() && depthless(frames_.front())) {
    const std::shared_ptr<ImageScaled> frame = frames_.front();
    frames_.pop_front();
    fw::Messenger::instance().publish("sbt.cleaned_frames", frame);
  }
}

bool Cleaner::processLocked() {
  const auto start = std::chrono::steady_clock::now();
  frames_.sort([](const auto& a, const auto& b) { return idOf(a) < idOf(b); });
  if (stopped_) return false;  // the final pass takes the queue
  // Frames without a depth map go on as soon as every older frame has gone; they neither
  // wait for views nor count as one.
  publishLeadingDepthless();
  const auto withDepth = std::count_if(frames_.begin(), frames_.end(),
                                       [](const auto& frame) { return !depthless(frame); });
  if (withDepth < options_.queueSize) return false;
  // The reference leaves the queue on every way out: it is never cleaned or published twice.
  const std::shared_ptr<ImageScaled> reference = frames_.front();
  frames_.pop_front();
  try {
    cleanAndPublish(reference, frames_, nullptr);
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "Cleaner::Process: frame " << idOf(reference)
                          << " dropped: " << e.what();
    return false;
  } catch (...) {
    FW_LOG(fw::kLogError) << "Cleaner::Process: frame " << idOf(reference) << " dropped.";
    return false;
  }
  std::cout << "Cleaner processed " << idOf(reference) << " in " << secondsSince(start) << "s."
            << std::endl;
  publishLeadingDepthless();
  return true;
}

void Cleaner::finalPass() {
  std::lock_guard<std::mutex> lock(mutex_);
  frames_.sort([](const auto& a, const auto& b) { return idOf(a) < idOf(b); });
  const std::optional<View> before = lastPublished_;
  for (const std::shared_ptr<ImageScaled>& reference : frames_) {
    const auto start = std::chrono::steady_clock::now();
    try {
      if (depthless(reference)) {
        fw::Messenger::instance().publish("sbt.cleaned_frames", reference);
        continue;
      }
      std::list<std::shared_ptr<ImageScaled>> others;
      for (const auto& frame : frames_) {
        if (frame != reference) others.push_back(frame);
      }
      // The frame published before the pass lends every remaining frame (the run's last
      // depth frame above all) one more view.
      cleanAndPublish(reference, others, before ? &*before : nullptr);
      FW_LOG(fw::kLogInfo) << "Cleaner processed " << idOf(reference) << " in "
                           << secondsSince(start) << "s.";
    } catch (const std::exception& e) {
      FW_LOG(fw::kLogError) << "Cleaner final pass: frame " << idOf(reference)
                            << " dropped: " << e.what();
    } catch (...) {
      FW_LOG(fw::kLogError) << "Cleaner final pass: frame " << idOf(reference) << " dropped.";
    }
  }
  frames_.clear();
}

void Cleaner::cleanAndPublish(const std::shared_ptr<ImageScaled>& reference,
                              const std::list<std::shared_ptr<ImageScaled>>& others,
                              const View* extra) {
  Workspace job;
  job.sameDepthThreshold = options_.sameDepthThreshold;
  job.minConsistentViews = options_.minConsistentViews;
  View view;
  const bool usable = makeView(*reference, view);
  if (!usable) {
    FW_LOG(fw::kLogError) << "Cleaner: frame " << idOf(reference)
                          << " has no usable depth map; published unchanged.";
  } else {
    reference->pairOnly = cv::Mat::zeros(reference->depth.size(), CV_8UC1);
    view.pairOnly = reference->pairOnly;
    job.views.push_back(view);
    for (const auto& frame : others) {
      if (idOf(frame) == view.id || depthless(frame)) continue;
      View other;
      if (!makeView(*frame, other)) {
        FW_LOG(fw::kLogError) << "Should not happen with image index = " << idOf(frame);
        continue;
      }
      job.views.push_back(std::move(other));
    }
    if (extra && extra->id != view.id) job.views.push_back(*extra);
    const cv::Mat before = extra ? cv::Mat() : view.count.clone();
    CleanFrame(job);
    // The later frames changed nothing: none of them sees this frame's ground (the last frame
    // of a strip before a gap, of a block of the flight). The frame published before it, its
    // pair's partner as a rule, is the view that can still confirm its depths.
    if (!extra && lastPublished_ && lastPublished_->id != view.id &&
        cv::countNonZero(before != view.count) == 0) {
      Workspace back;
      back.sameDepthThreshold = job.sameDepthThreshold;
      back.minConsistentViews = job.minConsistentViews;
      back.views = {view, *lastPublished_};
      CleanFrame(back);
    }
  }
  fw::Messenger::instance().publish("sbt.cleaned_frames", reference);
  if (usable) {
    view.pairOnly.release();  // only the reference's own mask is written
    lastPublished_ = view;
  }
}

bool Cleaner::makeView(const ImageScaled& frame, View& view) {
  if (!frame.frame || frame.depth.empty() || frame.depth.type() != CV_32FC1 ||
      frame.count.type() != CV_8UC1 || frame.count.size() != frame.depth.size()) {
    return false;
  }
  view.id = frame.frame->id;
  view.depth = frame.depth;
  view.count = frame.count;
  for (int i = 0; i < 9; ++i) view.K[i] = frame.K[i];
  const SE3 cameraFromWorld = frame.pose.inverse();
  view.R = fw::quaternionToMatrix(cameraFromWorld.q);
  view.t = cameraFromWorld.t;
  view.depthMax = frame.depthMax;
  view.hasRange = std::isfinite(frame.depthMax) && frame.depthMax > 0.0f;
  view.pairedWith = frame.pairedWith;
  return true;
}

bool Cleaner::sameImagePair(const View& a, const View& b) {
  return a.pairedWith && b.pairedWith && *a.pairedWith == b.id && *b.pairedWith == a.id;
}

void Cleaner::CleanFrame(Workspace& job) {
  const int n = static_cast<int>(job.views.size());
  const int mv = job.minConsistentViews;
  if (n < mv || n == 0) {
    FW_LOG(fw::kLogError) << "Cleaned Point Number: 0 (image number = " << n << " too few imgs)";
    return;
  }
  View& ref = job.views[0];
  fw::Matrix3 kinv;
  if (!invert(ref.K, kinv)) {
    FW_LOG(fw::kLogError) << "Cleaner: frame " << ref.id
                          << " has a singular camera matrix; its counts are left unchanged.";
    return;
  }
  std::vector<ViewMap> maps;
  std::vector<bool> ownPair;
  for (int j = 1; j < n; ++j) {
    maps.push_back(viewMap(ref, kinv, job.views[j]));
    ownPair.push_back(sameImagePair(ref, job.views[j]));
  }
  const bool marksPairOnly =
      ref.pairOnly.type() == CV_8UC1 && ref.pairOnly.size() == ref.depth.size();
  const double thr = job.sameDepthThreshold;
  const uint8_t confirmed = static_cast<uint8_t>(std::min(mv, kMaxCount));

  for (int r = 0; r < ref.depth.rows; ++r) {
    const float* depthRow = ref.depth.ptr<float>(r);
    uint8_t* countRow = ref.count.ptr<uint8_t>(r);
    uint8_t* pairOnlyRow = marksPairOnly ? ref.pairOnly.ptr<uint8_t>(r) : nullptr;
    for (int c = 0; c < ref.depth.cols; ++c) {
      const double d = depthRow[c];
      int count = countRow[c];
      if (!(d > 0.0) || !std::isfinite(d) || count == 0) continue;
      int misses = 0;
      bool agreed = false, independent = false;
      for (int j = 1; j < n; ++j) {
        const View& view = job.views[j];
        const ViewMap& m = maps[j - 1];
        const double z = d * (m.M[6] * c + m.M[7] * r + m.M[8]) + m.b.z;
        if (!(z > 0.0) || !std::isfinite(z)) {
          ++misses;
          continue;
        }
        // Bounds are tested before the integer conversion: far projections would overflow it.
        const double u = (d * (m.M[0] * c + m.M[1] * r + m.M[2]) + m.b.x) / z + 0.5;
        const double v = (d * (m.M[3] * c + m.M[4] * r + m.M[5]) + m.b.y) / z + 0.5;
        if (!(v >= 1.0 && v < view.depth.rows - 1 && u >= 1.0 && u < view.depth.cols - 1)) {
          ++misses;
          continue;
        }
        if (view.hasRange && static_cast<float>(z) > view.depthMax) {
          ++misses;
          continue;
        }
        const int vi = static_cast<int>(v);
        const int ui = static_cast<int>(u);
        if (std::abs(view.depth.at<float>(vi, ui) - z) < z * thr) {
          agreed = true;
          independent = independent || !ownPair[j - 1];
          const int other = view.count.at<uint8_t>(vi, ui);
          if (other == 0 || other >= mv) {
            count = 0;  // another view already holds this point
            break;
          }
          count = std::min(count + 1, kMaxCount);
        }
      }
      if (n - misses <= 3 && count == 2) count = confirmed;
      countRow[c] = static_cast<uint8_t>(count);
      if (pairOnlyRow && agreed && !independent) pairOnlyRow[c] = 1;
    }
  }
}
