#include "pose_refiner.h"

#include "bundle_adjustment.h"
#include "direct_georeferencing.h"
#include "features_ahead.h"
#include "frame_features.h"
#include "frame_resection.h"
#include "pair_geometry.h"
#include "pose_gate.h"
#include "search_window.h"
#include "tie_resection.h"

#include "framework/angles.h"
#include "framework/camera_parameters.h"
#include "framework/gps_record.h"
#include "framework/log.h"
#include "framework/run_tally.h"

#include <ceres/rotation.h>

#include <Eigen/Geometry>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>

namespace sfm {
namespace {

constexpr double kMinTriangulationAngle = 1.0;  // degrees
constexpr double kMaxTriangulationError = 4.0;  // pixels of the features
constexpr double kMaxSentError = 1.5;  // pixels of the features: observations sent with a frame
// Map points a frame the adjustment did not refine must see, agreeing on one pose, to be
// placed from them.
constexpr int kLeastResectionPoints = 12;
constexpr double kRadPerDeg = fw::kRadiansPerDegree;
constexpr double kOverlapReach = 0.8;  // share of the footprint's long side
// Pixels of the reduced copies: a match with a second partner whose feature shows farther
// from where the frame's feature was placed onto the first one ties different places.
constexpr double kMostPlacementDisagreement = 0.2;
// Recorded headings within this many of their sigmas (median) of the flight's own are trusted.
constexpr double kHeadingAgreement = 2.0;
// Degrees: recorded headings whose offsets from the flight's own scatter less than this about
// the crab fitted by course hold to record and crab (a course written as the heading, gusts).
constexpr double kMostCourseOffsetScatter = 5.0;
// The least share of the focal length an adjustment is taken to tell it to: beyond the pixel
// noise its sigma stands for, the lens and the matches err alike over the whole flight, so a
// calibration is moved only by more than the significance times this.
constexpr double kLeastFocalSigma = 0.0025;
// Fixes of the flight before their scatter about the track is trusted over the stated sigmas.
constexpr int kLeastFixesForScatter = 8;

// Short reasons a frame keeps its direct pose, besides the gate's.
constexpr char kFewFeatures[] = "too few image features";
constexpr char kNoMatches[] = "matches none of its neighbours";
constexpr char kNotAccepted[] = "its adjustment was not accepted";
constexpr char kFewPoints[] = "saw too few map points";
constexpr char kStepFailed[] = "its refinement step failed";
constexpr char kNotFinite[] = "its pose is not finite";

Eigen::Matrix3d toEigen(const fw::Matrix3& m) {
  Eigen::Matrix3d out;
  for (int e = 0; e < 9; ++e) out(e / 3, e % 3) = m[e];
  return out;
}

Eigen::Vector3d toEigen(const pi::Point3d& p) { return {p.x, p.y, p.z}; }

// A frame placed from its ground ties turns from the attitude its neighbours tell by at most
// this many of its recorded attitude's sigmas (radians, never less than the least). A turn's
// frames that no pair relates are off that attitude by more than the sigmas say, as the crab
// and the bank change faster than the neighbours' correction follows (4 to 6 of them on our
// rendered turns): the bound refuses only poses that the ties turn grossly.
constexpr double kMostTieTurnSigmas = 8.0;
constexpr double kLeastAttitudeSigma = 0.5 * kRadPerDeg;

// Frames (by identifier) a refined frame may lie from one the images did not place for that
// one to take its turn from the recorded attitude and the bias of its fix.
constexpr uint64_t kNeighbourReach = 6;
constexpr int kNeighboursPerSide = 3;  // refined frames on each side it takes the mean of
// Refined frames with recorded headings for the heading's offset by course to be fitted.
constexpr int kLeastFramesForHeadingOffset = 8;

// Radians about up of a turn of local axes that is mostly about up.
double yawOf(const Eigen::Matrix3d& turn) {
  return std::atan2(turn(1, 0) - turn(0, 1), turn(0, 0) + turn(1, 1));
}

// A frame's row of the heading offsets' fit by course: 1 and the sine and cosine of its
// course, which are its direction of travel east and north.
Eigen::Vector3d courseRow(const Eigen::Vector2d& track) {
  return Eigen::Vector3d(1.0, track.x(), track.y());
}

// Metres a frame must have moved over the ground for its direction of travel to be told.
constexpr double kLeastTravel = 1.0;

// East and north unit direction from one fix to another; `otherwise` when they lie too close.
Eigen::Vector2d travelDirection(const Eigen::Vector3d& from, const Eigen::Vector3d& to,
                                const Eigen::Vector2d& otherwise) {
  const Eigen::Vector2d travel = (to - from).head<2>();
  return travel.norm() >= kLeastTravel ? Eigen::Vector2d(travel.normalized()) : otherwise;
}

struct PairResult {
  bool related = false;
  PairGeometry geometry;
  std::string reason;  // why not, when not related
};

// Relates a frame's features with those of each partner on up to `options.threads` threads:
// the pairs are independent of each other.
std::vector<PairResult> relateWithPartners(const RefinementBlock& block,
                                           const std::vector<uint64_t>& partners,
                                           const BlockFrame& frame, double focal, double long_side,
                                           const RefinementOptions& options,
                                           const std::string& image_path) {
  std::vector<PairResult> results(partners.size());
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t k = next++; k < partners.size(); k = next++) {
      PairResult& r = results[k];
      try {
        const BlockFrame& partner = block.frames.at(partners[k]);
        const SearchWindow window =
            searchWindow(block, partner, frame, focal / frame.features.scale, long_side, options);
        const RecordedBaseline recorded{partner.cameraFromLocal().transpose(),
                                        (frame.gps - partner.gps).normalized()};
        r.related =
            relatePair(partner.features, frame.features, focal, options, &r.geometry, &r.reason,
                       window.radius > 0.0 ? &window.expected : nullptr, window.radius, &recorded);
      } catch (const std::exception& e) {
        FW_LOG(fw::kLogWarning) << "Relating frame " << image_path
                                << " with an earlier frame failed: " << e.what();
        r.reason = "relating it failed";
      } catch (...) {
        FW_LOG(fw::kLogWarning) << "Relating frame " << image_path
                                << " with an earlier frame failed.";
        r.reason = "relating it failed";
      }
    }
  };
  std::vector<std::thread> helpers;
  const size_t threads = std::min<size_t>(options.threads, partners.size());
  try {
    for (size_t t = 1; t < threads; ++t) helpers.emplace_back(work);
  } catch (const std::system_error&) {
    // No more threads to be had: the ones started and this one share the pairs.
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  return results;
}

// Places the frame's features finely onto the partner's that they match, each once (the
// first partner whose view compares, its patch warped as the pair's ground shows it), and
// keeps the matches that agree with that placement. A match whose patches do not compare is
// left out: its corners were found apart by most of a pixel, often more.
// A feature already placed onto an earlier partner stays there; its match with this partner
// is kept only where this partner's feature shows at the same spot, as otherwise the track
// would tie places a pixel or so apart, and many such (a strip seen again from the other way)
// bend the attitude of the whole block.
std::vector<std::pair<int, int>> placeFinely(const FrameFeatures& partner,
                                             const PairGeometry& geometry,
                                             const CameraIntrinsics& intrinsics,
                                             FrameFeatures& features, std::vector<char>& aligned) {
  // Features without patches (SIFT's place themselves) or of copies reduced unlike keep
  // their matches as found.
  if (partner.patches.empty() || features.patches.empty() || partner.scale != features.scale)
    return geometry.matches;
  const double most_off = kMostPlacementDisagreement / features.scale;
  std::vector<std::pair<int, int>> kept;
  kept.reserve(geometry.matches.size());
  for (const auto& [i, j] : geometry.matches) {
    if (!aligned[j]) {
      aligned[j] =
          alignFeature(partner, i, features, j, intrinsics, geometry.warpAt(partner.pixels[i]));
      if (aligned[j]) kept.emplace_back(i, j);
      continue;
    }
    const std::optional<cv::Point2f> at =
        placeOnto(partner, i, features, j, geometry.warpAt(partner.pixels[i]));
    if (at && cv::norm(*at - features.pixels[j]) <= most_off) kept.emplace_back(i, j);
  }
  return kept;
}

}  // namespace

PoseRefiner::PoseRefiner(RefinementOptions options, uint64_t* next_map_point_id)
    : options_(std::move(options)), next_map_point_id_(next_map_point_id) {
  options_.check();
}

std::vector<RefinedFrame> PoseRefiner::add(IncomingFrame in, const SE3& direct) {
  // The frame's features are taken on a thread of their own while the frame before it is
  // refined on this one; it is refined itself when the next frame comes, or at finish.
  std::future<FrameFeatures> features;
  if (options_.enabled) noteCoarseImage(in);
  if (options_.enabled)
    features =
        extractFeaturesAhead(in.image, in.camera.getParameters(), options_, in.image_reduction);
  arriving_.push_back({std::move(in), direct, std::move(features)});
  std::vector<RefinedFrame> ready;
  while (arriving_.size() > (options_.enabled ? 1u : 0u)) admitOldestArrival(&ready);
  return ready;
}

void PoseRefiner::noteCoarseImage(const IncomingFrame& in) {
  if (told_coarse_images_ || in.image_reduction <= 1 || in.image.empty()) return;
  if (std::max(in.image.cols, in.image.rows) >= options_.image_long_side) return;
  // The loader reduces frames for the feature image's side it is configured with; told
  // another one, it makes copies coarser than this refinement works at.
  FW_LOG(fw::kLogWarning) << "Frame images arrive decoded reduced by " << in.image_reduction
                          << " to " << std::max(in.image.cols, in.image.rows)
                          << " pixels, fewer than sfm.refine.image_long_side ("
                          << options_.image_long_side
                          << "): features are taken at that size; give the dataset the same "
                             "value in the configuration store";
  told_coarse_images_ = true;
}

std::vector<RefinedFrame> PoseRefiner::finish() {
  std::vector<RefinedFrame> ready;
  while (!arriving_.empty()) admitOldestArrival(&ready);
  while (!pending_.empty()) {
    settleBefore();
    ready.push_back(deliver(std::move(pending_.front())));
    pending_.pop_front();
  }
  return ready;
}

void PoseRefiner::admitOldestArrival(std::vector<RefinedFrame>* ready) {
  Arrival arrival = std::move(arriving_.front());
  arriving_.pop_front();
  pending_.push_back({std::move(arrival.in), arrival.direct, nullptr, ""});
  Pending& pending = pending_.back();
  if (options_.enabled) {
    try {
      refine(pending, arrival.features.get());
    } catch (const std::exception& e) {
      FW_LOG(fw::kLogWarning) << "Refinement step of frame " << pending.in.image_path
                              << " failed: " << e.what();
      pending.failure = kStepFailed;
      pending.reason = kStepFailed;
      block_.dropFrame(pending.in.id);
      stored_.erase(std::remove(stored_.begin(), stored_.end(), pending.in.id), stored_.end());
    }
  }
  // The oldest frame goes when the window is full, or at once when no image can refine it
  // and the cameras it would carry are settled.
  const int window = cameras_settled_ ? options_.window_size : firstWindow();
  const bool early_exit = !options_.enabled || cameras_settled_;
  while (!pending_.empty() && (static_cast<int>(pending_.size()) > window ||
                               (early_exit && !block_.frames.count(pending_.front().in.id)))) {
    settleBefore();
    ready->push_back(deliver(std::move(pending_.front())));
    pending_.pop_front();
  }
  evictOldFrames();
}

int PoseRefiner::firstWindow() {
  if (expected_frames_ > 0) return std::min(expected_frames_, options_.frameListWindow());
  if (static_cast<int>(pending_.size()) <= options_.firstWindow() || cameraTold())
    return options_.firstWindow();
  if (!told_first_window_grows_) {
    FW_LOG(fw::kLogInfo) << "The first " << options_.firstWindow()
                         << " frames do not tell the focal length: the first window grows until "
                            "the flight does, to at most "
                         << options_.longestFirstWindow() << " frames.";
    told_first_window_grows_ = true;
  }
  return options_.longestFirstWindow();
}

bool PoseRefiner::cameraTold() const {
  if (options_.intrinsics == IntrinsicRefinement::kNone) return true;
  for (size_t c = 0; c < block_.cameras.size(); ++c) {
    const auto known = focal_sigma_.find(static_cast<int>(c));
    if (known == focal_sigma_.end() || !(known->second <= options_.focal_precision)) return false;
  }
  return true;
}

void PoseRefiner::refine(Pending& pending, const FrameFeatures& features) {
  const std::vector<double> calibration = pending.in.camera.getParameters();
  const fw::CameraParameters calibrated = fw::CameraParameters::decode(calibration);
  const double long_side = std::max(calibrated.width, calibrated.height);
  if (static_cast<int>(features.size()) < options_.min_inliers) {
    // Kept with its image: it goes out exactly as direct georeferencing sends it.
    pending.failure = kFewFeatures;
    pending.reason = std::string(kFewFeatures) + " (" + std::to_string(features.size()) + ")";
    return;
  }
  pending.in.image = fw::GImage();
  if (!enterBlock(pending, features)) return;
  BlockFrame& frame = block_.frames.at(pending.in.id);
  const CameraIntrinsics& camera = block_.cameras[frame.camera];
  // Frames nearer than most of a footprint's length overlap.
  const double reach = kOverlapReach * pending.in.height * long_side / calibrated.fx;

  // Verified pairs with earlier frames; the frame is placed from its best placed partner, so
  // that the block stays one. Only where no related partner is placed yet does the best one
  // start a group of its own from its direct pose.
  int best_inliers = 0;
  uint64_t best = 0;
  bool best_placed = false;
  PairGeometry best_geometry;
  std::vector<size_t> unplaced;  // related partners no pair had placed
  std::string why_not;
  const std::vector<uint64_t> partners = partnersOf(frame, reach);
  // The pairs are related, and the matches placed finely, in the block's camera.
  block_.normaliseFeatures(frame);
  for (uint64_t p : partners) block_.normaliseFeatures(block_.frames.at(p));
  // The pixel threshold holds in the reduced copy the features were found in.
  const std::vector<PairResult> related =
      relateWithPartners(block_, partners, frame, camera.refined[0] * frame.features.scale,
                         long_side, options_, pending.in.image_path);
  std::vector<char> aligned(frame.features.size(), 0);
  const auto tie = [&](size_t k) {
    block_.addMatches(partners[k], frame.id,
                      placeFinely(block_.frames.at(partners[k]).features, related[k].geometry,
                                  camera, frame.features, aligned));
  };
  std::vector<size_t> few_matches;  // pairs too weak to relate the frame
  for (size_t k = 0; k < partners.size(); ++k) {
    const PairResult& r = related[k];
    if (!r.related && why_not.empty()) why_not = r.reason;
    if (!r.related && !r.geometry.ties_only) continue;
    // A pair with fewer matches than a motion to place from needs ties a frame that no pair
    // relates: a few such matches may be a furrow's repeat, which would pull a frame its
    // related pairs hold well.
    if (!r.related && static_cast<int>(r.geometry.matches.size()) < options_.min_inliers) {
      few_matches.push_back(k);
      continue;
    }
    // A pair without the parallax to tell its baseline still ties the frames' turns: at a
    // banked turn it may be all that holds a frame to the strip it leaves.
    tie(k);
    if (!r.related) continue;
    // A frame set aside as misplaced lies wrong: nothing is placed from it.
    if (set_aside_.count(partners[k])) continue;
    const bool placed = block_.frames.at(partners[k]).placed;
    if (!placed) unplaced.push_back(k);
    const int inliers = static_cast<int>(r.geometry.matches.size());
    if (placed > best_placed || (placed == best_placed && inliers > best_inliers)) {
      best_inliers = inliers;
      best = partners[k];
      best_placed = placed;
      best_geometry = r.geometry;
    }
  }
  if (best_inliers == 0) {
    for (size_t k : few_matches) tie(k);
    pending.failure = kNoMatches;
    pending.reason =
        std::string("it ") + kNoMatches + (why_not.empty() ? std::string() : " (" + why_not + ")");
    return;
  }
  BlockFrame& anchor = block_.frames.at(best);
  if (!anchor.placed) placeAsRoot(anchor);
  best_pairs_[frame.id] = {best, best_geometry.b_from_a, best_geometry.centre_b_in_a};
  placeFromPair(frame);
  // A partner whose own pairs all failed (a turn frame's, often) is placed from this frame,
  // not from its record: a turn's recorded heading may be many degrees off, and a group
  // started there can settle in the adjustment metres from where its matches tie it.
  for (size_t k : unplaced) {
    BlockFrame& partner = block_.frames.at(partners[k]);
    if (partner.placed || partner.fixed) continue;  // a frame sent already keeps what it had
    const PairGeometry& g = related[k].geometry;
    best_pairs_[partner.id] = {frame.id, g.b_from_a.transpose(), -(g.b_from_a * g.centre_b_in_a)};
    placeFromPair(partner);
  }
  adjustWindow(cameras_settled_ || wholeWindowDue());
}

bool PoseRefiner::placeFromPair(BlockFrame& frame) {
  const auto pair = best_pairs_.find(frame.id);
  if (pair == best_pairs_.end()) return false;
  const BlockFrame& anchor = block_.frames.at(pair->second.partner);
  if (!anchor.placed) return false;
  const Eigen::Matrix3d camera_from_local = pair->second.b_from_a * anchor.cameraFromLocal();
  const double baseline = (frame.gps - anchor.gps).norm();
  const Eigen::Vector3d centre =
      anchor.centre() +
      baseline * (anchor.cameraFromLocal().transpose() * pair->second.centre_b_in_a);
  frame.setPose(camera_from_local, centre);
  frame.placed = true;
  return true;
}

bool PoseRefiner::wholeWindowDue() const {
  return pending_.size() <= static_cast<size_t>(options_.window_size) ||
         pending_.size() >= 2 * whole_adjusted_at_;
}

bool PoseRefiner::enterBlock(Pending& pending, const FrameFeatures& features) {
  const IncomingFrame& in = pending.in;
  const Eigen::Vector3d position = toEigen(pending.direct.t);
  if (!has_origin_) {
    has_origin_ = true;
    origin_ = position;
    ecef_from_local_ = toEigen(ecefFromEnu(in.latitude, in.longitude));
  }
  const std::vector<double> calibration = in.camera.getParameters();
  int camera = -1;
  for (size_t c = 0; c < block_.cameras.size(); ++c) {
    if (block_.cameras[c].calibration == calibration) camera = static_cast<int>(c);
  }
  if (camera < 0) {
    block_.cameras.push_back(CameraIntrinsics::fromCalibration(calibration));
    camera = static_cast<int>(block_.cameras.size()) - 1;
  }
  BlockFrame frame;
  frame.id = in.id;
  frame.camera = camera;
  frame.gps = ecef_from_local_.transpose() * (position - origin_);
  frame.ground = frame.gps.z() - in.height;
  const fw::GpsRecord record = fw::decodeGpsRecord(in.gps);
  if (record.hasPosition)
    frame.stated_gps_sigma = {std::max(record.llaSigma.x, 1e-3), std::max(record.llaSigma.y, 1e-3),
                              std::max(record.llaSigma.z, 1e-3)};
  gps_jitter_.add(frame.gps, in.timestamp);
  frame.gps_sigma = heldGpsSigma(frame);
  // The drift goes on from the frame before; the direction of travel is taken from it, and
  // that frame's, while it is free, from the frames on either side of it.
  if (!stored_.empty()) {
    BlockFrame& last = block_.frames.at(stored_.back());
    frame.gps_drift = last.gps_drift;
    frame.track = travelDirection(last.gps, frame.gps, last.track);
    if (!last.fixed && stored_.size() >= 2)
      last.track =
          travelDirection(block_.frames.at(stored_[stored_.size() - 2]).gps, frame.gps, last.track);
    else if (!last.fixed)
      last.track = frame.track;
  }
  const Eigen::Matrix3d local_from_camera =
      ecef_from_local_.transpose() * toEigen(fw::quaternionToMatrix(pending.direct.q));
  const Eigen::Matrix3d prior = local_from_camera.transpose();
  ceres::RotationMatrixToAngleAxis(ceres::ColumnMajorAdapter3x3(prior.data()),
                                   frame.attitude_prior.data());
  // The heading holds loosely whatever its record says; without attitude the frame is
  // taken as looking straight down along its track, its pitch and roll loosely too.
  frame.tilt_sigma = options_.untold_tilt_sigma * kRadPerDeg;
  frame.yaw_sigma = options_.yaw_sigma * kRadPerDeg;
  if (in.has_attitude && record.hasAttitude) {
    const pi::Point3d& sigma = record.attitudeSigma;  // pitch, yaw, roll
    frame.tilt_sigma = std::max((sigma.x + sigma.z) / 2.0, 0.01) * kRadPerDeg;
    frame.recorded_yaw_sigma = std::max(sigma.y, 0.01) * kRadPerDeg;
    if (headings_trusted_) frame.yaw_sigma = frame.recorded_yaw_sigma;
  }
  holdHeading(frame);
  frame.features = features;
  frame.normalised_with = CameraIntrinsics::fromCalibration(calibration).refined;
  frame.track_of.assign(features.size(), -1);
  frame.setPose(prior, frame.gps);
  if (!frame.centre().allFinite() || !frame.cameraFromLocal().allFinite()) {
    pending.failure = kNotFinite;
    pending.reason = "its direct pose is not finite";
    return false;
  }
  block_.frames.emplace(in.id, std::move(frame));
  stored_.push_back(in.id);
  return true;
}

std::vector<uint64_t> PoseRefiner::partnersOf(const BlockFrame& frame, double reach) const {
  // The previous frame whatever its distance (the recorded positions may be far off), then
  // the nearest of the window's frames and of the earlier ones within reach.
  std::vector<uint64_t> partners;
  if (stored_.size() < 2) return partners;
  partners.push_back(stored_[stored_.size() - 2]);
  const size_t recent =
      std::min<size_t>(options_.window_size, stored_.size() - 1);  // the window before this frame
  std::vector<std::pair<double, uint64_t>> window, earlier;
  for (size_t k = 0; k + 2 < stored_.size(); ++k) {
    const double d = (block_.frames.at(stored_[k]).gps - frame.gps).norm();
    if (d < reach)
      (k + 1 + recent >= stored_.size() ? window : earlier).emplace_back(d, stored_[k]);
  }
  std::sort(window.begin(), window.end());
  std::sort(earlier.begin(), earlier.end());
  for (size_t k = 0; k < window.size() && static_cast<int>(k) < options_.partners; ++k)
    partners.push_back(window[k].second);
  for (size_t k = 0; k < earlier.size() && static_cast<int>(k) < options_.neighbour_count; ++k) {
    partners.push_back(earlier[k].second);
  }
  return partners;
}

Eigen::Matrix3d PoseRefiner::recordedAttitude(const BlockFrame& frame) {
  Eigen::Matrix3d prior;
  ceres::AngleAxisToRotationMatrix(frame.attitude_prior.data(),
                                   ceres::ColumnMajorAdapter3x3(prior.data()));
  return prior;
}

void PoseRefiner::placeAsRoot(BlockFrame& frame) {
  // The first frame of a connected group starts from its direct pose.
  frame.setPose(recordedAttitude(frame), frame.gps);
  frame.placed = true;
}

void PoseRefiner::adjustWindow(bool whole, bool take_back) {
  if (whole && take_back) takeBackSetAside();
  std::vector<uint64_t> free;
  for (const Pending& p : pending_) {
    const auto f = block_.frames.find(p.in.id);
    if (f != block_.frames.end() && f->second.placed && !f->second.fixed) free.push_back(p.in.id);
  }
  if (!whole && free.size() > static_cast<size_t>(options_.window_size))
    free.erase(free.begin(), free.end() - options_.window_size);
  if (whole) whole_adjusted_at_ = pending_.size();
  if (free.empty()) return;
  for (uint64_t id : free) {
    BlockFrame& f = block_.frames.at(id);
    f.gps_sigma = heldGpsSigma(f);
    holdHeading(f);  // its direction of travel is told better once the next frame came
  }
  // A track's point depends on the poses alone: each is placed once, however many of the
  // free frames see it.
  for (int t : tracksSeenBy(free)) {
    if (!block_.tracks.at(t).triangulated)
      block_.triangulate(t, kMinTriangulationAngle, kMaxTriangulationError);
  }
  AdjustmentReport report;
  if (!adjustBundle(block_, free, options_, whole && !cameras_settled_, &report)) {
    // The block is as it was before the newest frame came: leave that frame out.
    BlockFrame& newest = block_.frames.at(free.back());
    newest.placed = false;
    newest.refined = false;
    pendingOf(newest.id).failure = kNotAccepted;
    pendingOf(newest.id).reason = kNotAccepted;
    return;
  }
  if (whole) {
    for (const auto& [camera, sigma] : report.focal_sigma) focal_sigma_[camera] = sigma;
  }
  // Points left out of the adjustment follow the adjusted poses: the tracks the free frames
  // still see, as the adjustment may have dropped some of their observations as outliers.
  for (int t : tracksSeenBy(free)) {
    if (block_.tracks.at(t).triangulated)
      block_.triangulate(t, kMinTriangulationAngle, kMaxTriangulationError);
  }
  const std::vector<const BlockFrame*> placed = placedFrames();
  std::vector<GateVerdict> verdicts;
  for (uint64_t id : free) {
    BlockFrame& f = block_.frames.at(id);
    Pending& pending = pendingOf(id);
    int points = 0;
    for (int t : f.track_of) points += t >= 0 && block_.tracks.at(t).triangulated;
    const GateVerdict verdict =
        gatePose(f, recordedAttitude(f), placed, options_, block_.gps_lever);
    // A frame that sees no map point was never adjusted: it lies where its pair placed it, and
    // is refused for the points it lacks, not for where the adjustment moved it.
    f.refined = points >= options_.min_points && verdict.accepted();
    if (f.refined) {
      pending.failure = nullptr;
      pending.reason.clear();
    } else if (!verdict.accepted() && points > 0) {
      pending.failure = verdict.failure;
      pending.reason = verdict.detail;
    } else {
      pending.failure = kFewPoints;
      pending.reason = std::string("it ") + kFewPoints + " (" + std::to_string(points) + ")";
    }
    verdicts.push_back(points > 0 ? verdict : GateVerdict());
  }
  // Held in the block, a misplaced frame's wrong matches would pull its neighbours, the
  // cameras and the lever at every later adjustment: the block goes again without it.
  if (setAsideMisplaced(free, verdicts)) adjustWindow(whole, false);
}

void PoseRefiner::takeBackSetAside() {
  const std::vector<const BlockFrame*> placed = placedFrames();
  for (auto it = set_aside_.begin(); it != set_aside_.end();) {
    BlockFrame& f = block_.frames.at(*it);
    if (f.fixed) {
      ++it;
      continue;
    }
    // Where the points it sees agree on a pose the gate accepts, from there; otherwise from
    // its best pair as it first was, the adjustment and the gate judging it again.
    Resection resection;
    bool placed_anew = false;
    if (resectNearFix(f, &resection)) {
      f.setPose(resection.camera_from_local, resection.centre);
      placed_anew = gatePose(f, recordedAttitude(f), placed, options_, block_.gps_lever).accepted();
      f.placed = placed_anew;
    }
    if (placed_anew || placeFromPair(f))
      it = set_aside_.erase(it);
    else
      ++it;
  }
}

bool PoseRefiner::setAsideMisplaced(const std::vector<uint64_t>& free,
                                    const std::vector<GateVerdict>& verdicts) {
  const auto off_fix = [](const BlockFrame& f) { return (f.centre() - f.gps).norm(); };
  std::vector<uint64_t> misplaced;
  for (size_t k = 0; k < free.size(); ++k) {
    const GateVerdict& verdict = verdicts[k];
    if (verdict.accepted()) continue;
    const BlockFrame& f = block_.frames.at(free[k]);
    // Two frames collapsed onto each other both fail; the one nearer its fix is kept, and
    // gated again once the other is out.
    if (verdict.near && !verdict.near->fixed && off_fix(*verdict.near) > off_fix(f)) continue;
    misplaced.push_back(f.id);
  }
  for (uint64_t id : misplaced) {
    BlockFrame& f = block_.frames.at(id);
    f.placed = false;
    f.refined = false;
    set_aside_.insert(id);
  }
  return !misplaced.empty();
}

std::vector<const BlockFrame*> PoseRefiner::placedFrames() const {
  std::vector<const BlockFrame*> placed;
  for (const auto& [id, f] : block_.frames) {
    if (f.placed) placed.push_back(&f);
  }
  return placed;
}

std::vector<int> PoseRefiner::tracksSeenBy(const std::vector<uint64_t>& frames) const {
  std::vector<int> seen;
  for (uint64_t id : frames) {
    for (int t : block_.frames.at(id).track_of) {
      if (t >= 0) seen.push_back(t);
    }
  }
  std::sort(seen.begin(), seen.end());
  seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
  return seen;
}

Eigen::Vector3d PoseRefiner::heldGpsSigma(const BlockFrame& frame) const {
  const double scatter =
      std::max(gps_jitter_.scatter(kLeastFixesForScatter), options_.least_gps_sigma);
  return frame.stated_gps_sigma.cwiseMin(Eigen::Vector3d::Constant(scatter));
}

PoseRefiner::Pending& PoseRefiner::pendingOf(uint64_t id) {
  for (Pending& p : pending_) {
    if (p.in.id == id) return p;
  }
  throw std::logic_error("a frame of the window is not pending");
}

void PoseRefiner::settleBefore() {
  // Every frame goes out with the cameras it will share with all later frames: the first
  // window, adjusted with them free, settles them before its first frame leaves.
  if (cameras_settled_ || !options_.enabled) return;
  // The cameras and the lever are judged from the whole window adjusted together.
  if (whole_adjusted_at_ != pending_.size()) adjustWindow();
  cameras_settled_ = true;
  const bool cameras_reset = settleCameras();
  const bool headings_trusted = settleHeadings();
  if (cameras_reset || headings_trusted) adjustWindow();
}

bool PoseRefiner::settleHeadings() {
  // The window was adjusted with loose headings: the positions and images set them. Where
  // the recorded headings agree with that within their sigmas, they are what they claim and
  // hold from then on; otherwise (a course written as the heading, a compass off) they stay
  // loose.
  std::vector<double> off, sigmas;
  for (const auto& [id, f] : block_.frames) {
    if (!f.refined || f.fixed) continue;
    if (!(f.recorded_yaw_sigma > 0.0)) return false;
    // The turn of the local frame from the recorded attitude to the adjusted one, about up.
    const Eigen::AngleAxisd turn(f.cameraFromLocal().transpose() * recordedAttitude(f));
    off.push_back(std::abs(turn.angle() * turn.axis().z()));
    sigmas.push_back(f.recorded_yaw_sigma);
  }
  if (off.empty()) return false;
  std::nth_element(off.begin(), off.begin() + off.size() / 2, off.end());
  std::nth_element(sigmas.begin(), sigmas.begin() + sigmas.size() / 2, sigmas.end());
  const double median_off = off[off.size() / 2], median_sigma = sigmas[sigmas.size() / 2];
  if (!(median_off <= kHeadingAgreement * median_sigma)) {
    if (holdHeadingsToCourseOffsets()) return true;
    FW_LOG(fw::kLogInfo) << "Recorded headings are off by " << median_off / kRadPerDeg
                         << " degrees (median) from the flight's own: they hold loosely.";
    return false;
  }
  if (median_sigma >= options_.yaw_sigma * kRadPerDeg) return false;  // nothing to tighten
  headings_trusted_ = true;
  for (auto& [id, f] : block_.frames) {
    if (f.recorded_yaw_sigma > 0.0) f.yaw_sigma = f.recorded_yaw_sigma;
  }
  return true;
}

bool PoseRefiner::settleCameras() {
  // The first frame goes out with the cameras as they are now, and they hold from then on:
  // each keeps the focal length the images moved it to only when they tell it closely and
  // the move is well beyond what they tell of it, and otherwise the calibration's: a focal
  // length the flight hardly determines takes the poses and points along wherever it drifts.
  // The principal point and distortion keep what the images made of them, near the
  // calibration by their priors.
  bool reset = false;
  for (size_t c = 0; c < block_.cameras.size(); ++c) {
    CameraIntrinsics& camera = block_.cameras[c];
    const double calibrated = fw::CameraParameters::decode(camera.calibration).fx;
    const double change = camera.refined[0] / calibrated - 1.0;
    const auto known = focal_sigma_.find(static_cast<int>(c));
    const double sigma = known == focal_sigma_.end() ? HUGE_VAL : known->second;
    if (sigma <= options_.focal_precision &&
        std::abs(change) > options_.focal_significance * std::max(sigma, kLeastFocalSigma)) {
      FW_LOG(fw::kLogInfo) << "Camera refined: focal length " << camera.refined[0] << " px, "
                           << 100.0 * change << "% from the calibration, told to " << 100.0 * sigma
                           << "%, k1 " << camera.refined[3] << ", k2 " << camera.refined[4] << '.';
      continue;
    }
    if (camera.refined[0] != calibrated) {
      FW_LOG(fw::kLogInfo) << "Camera kept at its calibrated focal length: the flight tells it to "
                           << 100.0 * sigma << "% and moves it by " << 100.0 * change << "%; k1 "
                           << camera.refined[3] << ", k2 " << camera.refined[4] << '.';
      camera.refined[0] = calibrated;
      reset = true;
    }
  }
  return reset;
}

void PoseRefiner::evictOldFrames() {
  while (static_cast<int>(stored_.size()) > options_.stored_frames) {
    const uint64_t oldest = stored_.front();
    if (!block_.frames.at(oldest).fixed) break;  // still in the window
    block_.dropFrame(oldest);
    set_aside_.erase(oldest);
    best_pairs_.erase(oldest);
    stored_.pop_front();
  }
}

RefinedFrame PoseRefiner::deliver(Pending pending) {
  RefinedFrame out;
  out.pose = pending.direct;
  out.camera = pending.in.camera;
  const auto f = block_.frames.find(pending.in.id);
  if (f != block_.frames.end()) {
    BlockFrame& frame = f->second;
    frame.fixed = true;
    if (!(frame.refined && buildRefined(frame, &out))) {
      // Sent with its direct pose, so it no longer anchors the frames after it.
      frame.placed = false;
      if (!pending.failure) {
        pending.failure = frame.refined ? kNotFinite : kFewPoints;
        pending.reason =
            frame.refined ? "its refined pose is not usable" : std::string("it ") + kFewPoints;
      }
    }
  }
  if (out.refined) {
    fw::RunTally::instance().add(fw::tally::kFramesRefined);
  } else if (options_.enabled) {
    if (!pending.failure) {
      pending.failure = kNoMatches;
      pending.reason = std::string("it ") + kNoMatches;
    }
    const fw::GpsRecord record = fw::decodeGpsRecord(pending.in.gps);
    const double least_turn =
        pending.in.has_attitude && record.hasAttitude
            ? (record.attitudeSigma.x + record.attitudeSigma.y + record.attitudeSigma.z) / 3.0 *
                  kRadPerDeg
            : 0.0;
    std::string ties;  // what the frame's ground ties showed, when it has any
    if (f != block_.frames.end() && placeFromPoints(f->second, &out.pose)) {
      FW_LOG(fw::kLogInfo) << "Frame " << pending.in.image_path
                           << " is placed from the map points it sees: " << pending.reason << '.';
    } else if (f != block_.frames.end() && placeFromTies(f->second, least_turn, &out.pose, &ties)) {
      FW_LOG(fw::kLogInfo) << "Frame " << pending.in.image_path
                           << " is placed from the ground its weak pairs' refined partners see ("
                           << ties << "): " << pending.reason << '.';
    } else if (placeFromNeighbours(pending.in.id, least_turn, &out.pose)) {
      if (!ties.empty()) {
        FW_LOG(fw::kLogInfo) << "Frame " << pending.in.image_path
                             << " is not placed from its weak pairs' ties: " << ties << '.';
      }
      FW_LOG(fw::kLogInfo) << "Frame " << pending.in.image_path
                           << " is placed from its refined neighbours: " << pending.reason << '.';
    } else {
      FW_LOG(fw::kLogInfo) << "Frame " << pending.in.image_path
                           << " keeps its direct pose: " << pending.reason << '.';
    }
    fw::RunTally::instance().fail(fw::tally::kFramesRefined, pending.failure);
  }
  out.in = std::move(pending.in);
  if (cameras_settled_) {
    // A frame keeping its direct pose carries the camera the refined frames carry.
    for (const CameraIntrinsics& camera : block_.cameras) {
      if (camera.calibration != out.in.camera.getParameters()) continue;
      out.camera = fw::Camera(camera.parameters());
      out.in.camera = out.camera;
      break;
    }
  }
  return out;
}

std::vector<const BlockFrame*> PoseRefiner::refinedNeighbours(uint64_t id) const {
  std::vector<const BlockFrame*> near;
  const auto at = block_.frames.lower_bound(id);
  int taken = 0;
  for (auto it = at; it != block_.frames.begin() && taken < kNeighboursPerSide;) {
    --it;
    if (id - it->first > kNeighbourReach) break;
    if (it->second.refined && it->second.placed) near.push_back(&it->second), ++taken;
  }
  taken = 0;
  for (auto it = at;
       it != block_.frames.end() && it->first - id <= kNeighbourReach && taken < kNeighboursPerSide;
       ++it) {
    if (it->first != id && it->second.refined && it->second.placed)
      near.push_back(&it->second), ++taken;
  }
  return near;
}

Eigen::Vector3d PoseRefiner::fixBias(const std::vector<const BlockFrame*>& near,
                                     const Eigen::Vector2d& track) const {
  // The lever trails each fix along its own track, which at a turn or a strip's end is not
  // its neighbours': only their drift, which changes slowly, is shared.
  std::array<double, 3> drift{};
  for (const BlockFrame* n : near) {
    for (int k = 0; k < 3; ++k) drift[k] += n->gps_drift[k] / double(near.size());
  }
  const Eigen::Vector3d centre = Eigen::Vector3d::Zero();
  Eigen::Vector3d bias;
  BlockFrame::fixOf(centre.data(), block_.gps_lever.data(), drift.data(), track, bias.data());
  return bias;
}

bool PoseRefiner::placeFromNeighbours(uint64_t id, double least_turn, SE3* pose) const {
  const std::vector<const BlockFrame*> near = refinedNeighbours(id);
  if (near.empty()) return false;
  const Eigen::Vector3d fix = ecef_from_local_.transpose() * (toEigen(pose->t) - origin_);
  return earthPose(neighboursAttitude(id, near, least_turn, *pose),
                   fix - fixBias(near, trackAt(id, fix)), pose);
}

Eigen::Matrix3d PoseRefiner::neighboursAttitude(uint64_t id,
                                                const std::vector<const BlockFrame*>& near,
                                                double least_turn, const SE3& direct) const {
  // Their mean turn of the local axes from the recorded attitude to the refined one
  // (quaternions of one sign summed): a heading or a tilt off in the records is off about the
  // same local axes for frames whose cameras the wobble turns apart.
  Eigen::Vector4d sum = Eigen::Vector4d::Zero();
  for (const BlockFrame* n : near) {
    const Eigen::Quaterniond q(n->cameraFromLocal().transpose() * n->directCameraFromLocal());
    sum += q.w() < 0.0 ? Eigen::Vector4d(-q.coeffs()) : Eigen::Vector4d(q.coeffs());
  }
  Eigen::Quaterniond turn(sum.normalized());
  // A turn within the recorded attitude's own noise is that noise in the neighbours' records,
  // not an error they share.
  if (!(Eigen::AngleAxisd(turn).angle() > least_turn)) turn = Eigen::Quaterniond::Identity();
  const Eigen::Matrix3d local_from_recorded =
      ecef_from_local_.transpose() * toEigen(fw::quaternionToMatrix(direct.q));
  Eigen::Matrix3d local_from_camera = turn.toRotationMatrix() * local_from_recorded;
  // The heading follows the flight's own offset for this frame's course where the block tells
  // it: at a turn the neighbours on either side fly other courses, each with its own offset.
  const Eigen::Vector3d fix = ecef_from_local_.transpose() * (toEigen(direct.t) - origin_);
  double offset = 0.0;
  if (headingOffsetFor(trackAt(id, fix), &offset)) {
    const double now = yawOf(turn.toRotationMatrix());
    local_from_camera =
        Eigen::AngleAxisd(offset - now, Eigen::Vector3d::UnitZ()) * local_from_camera;
  }
  return local_from_camera.transpose();
}

bool PoseRefiner::placeFromTies(const BlockFrame& frame, double least_turn, SE3* pose,
                                std::string* account) const {
  const std::vector<const BlockFrame*> near = refinedNeighbours(frame.id);
  if (near.empty()) return false;
  TieLimits limits;
  limits.max_error = kMaxTriangulationError;
  limits.reach_sigmas = options_.max_gps_sigmas;
  limits.max_turn = kMostTieTurnSigmas * std::max(least_turn, kLeastAttitudeSigma);
  Resection resection;
  return resectFromTies(block_, frame, heldNearFix(frame, near),
                        neighboursAttitude(frame.id, near, least_turn, *pose), limits, &resection,
                        account) &&
         earthPose(resection.camera_from_local, resection.centre, pose);
}

bool PoseRefiner::placeFromPoints(const BlockFrame& frame, SE3* pose) const {
  Resection resection;
  return resectNearFix(frame, &resection) &&
         earthPose(resection.camera_from_local, resection.centre, pose);
}

HeldCentre PoseRefiner::heldNearFix(const BlockFrame& frame,
                                    const std::vector<const BlockFrame*>& near) const {
  return {frame.gps - fixBias(near, frame.track), frame.stated_gps_sigma};
}

bool PoseRefiner::resectNearFix(const BlockFrame& frame, Resection* resection) const {
  const HeldCentre held = heldNearFix(frame, refinedNeighbours(frame.id));
  if (!resectFrame(block_, frame, kMaxTriangulationError, kLeastResectionPoints, held, resection))
    return false;
  // Points of a weak overlap agreeing on a pose off the frame's fix by more than its reach
  // are wrong matches or a corner of the frame: the neighbours place it then.
  const Eigen::Vector3d off = resection->centre - frame.gps;
  return (off.array() / frame.stated_gps_sigma.array()).abs().maxCoeff() <= options_.max_gps_sigmas;
}

bool PoseRefiner::earthPose(const Eigen::Matrix3d& camera_from_local, const Eigen::Vector3d& centre,
                            SE3* pose) const {
  const Eigen::Matrix3d ecef_from_camera = ecef_from_local_ * camera_from_local.transpose();
  const Eigen::Vector3d ecef_centre = origin_ + ecef_from_local_ * centre;
  if (!ecef_from_camera.allFinite() || !ecef_centre.allFinite()) return false;
  fw::Matrix3 rotation;
  for (int e = 0; e < 9; ++e) rotation[e] = ecef_from_camera(e / 3, e % 3);
  SE3 placed;
  if (!fw::quaternionFromMatrix(rotation, placed.q)) return false;
  placed.t = pi::Point3d(ecef_centre.x(), ecef_centre.y(), ecef_centre.z());
  *pose = placed;
  return true;
}

Eigen::Vector2d PoseRefiner::trackAt(uint64_t id, const Eigen::Vector3d& fix) const {
  const auto at = block_.frames.lower_bound(id);
  if (at != block_.frames.end() && at->first == id && at->second.track.squaredNorm() > 0.0)
    return at->second.track;
  // A frame that did not enter the block: from the fixes of the frames around it.
  const Eigen::Vector3d before = at == block_.frames.begin() ? fix : std::prev(at)->second.gps;
  auto next = at;
  if (next != block_.frames.end() && next->first == id) ++next;
  const Eigen::Vector3d after = next == block_.frames.end() ? fix : next->second.gps;
  return travelDirection(before, after, Eigen::Vector2d::Zero());
}

bool PoseRefiner::holdHeadingsToCourseOffsets() {
  Eigen::Vector3d fit;
  if (!fitHeadingOffsets(&fit)) return false;
  std::vector<double> misfit;
  for (const CourseOffset& c : courseOffsets())
    misfit.push_back(std::abs(c.offset - fit.dot(c.row)));
  std::nth_element(misfit.begin(), misfit.begin() + misfit.size() / 2, misfit.end());
  // The median distance of a normal spread is 0.6745 of its sigma.
  const double scatter = misfit[misfit.size() / 2] / 0.6745;
  if (!(scatter <= kMostCourseOffsetScatter * kRadPerDeg)) return false;
  FW_LOG(fw::kLogInfo) << "Recorded headings are off by the crab the flight shows for their course "
                       << "(offset " << fit.x() / kRadPerDeg << " degrees, " << fit.y() / kRadPerDeg
                       << " by the course's sine, " << fit.z() / kRadPerDeg
                       << " by its cosine; scatter " << scatter / kRadPerDeg
                       << " degrees): they hold to it.";
  course_offset_fit_ = fit;
  course_offset_sigma_ = scatter;
  for (auto& [id, f] : block_.frames) {
    if (!f.fixed) holdHeading(f);
  }
  return true;
}

void PoseRefiner::holdHeading(BlockFrame& frame) const {
  if (!(course_offset_sigma_ > 0.0) || !(frame.recorded_yaw_sigma > 0.0) ||
      !(frame.track.squaredNorm() > 0.0))
    return;
  frame.heading_offset = course_offset_fit_.dot(courseRow(frame.track));
  frame.yaw_sigma = std::max(frame.recorded_yaw_sigma, course_offset_sigma_);
}

bool PoseRefiner::headingOffsetFor(const Eigen::Vector2d& track, double* offset) const {
  Eigen::Vector3d fit;
  if (!(track.squaredNorm() > 0.0) || !fitHeadingOffsets(&fit)) return false;
  *offset = fit.dot(courseRow(track));
  return std::isfinite(*offset);
}

std::vector<PoseRefiner::CourseOffset> PoseRefiner::courseOffsets() const {
  std::vector<CourseOffset> offsets;
  for (const auto& [id, f] : block_.frames) {
    if (!f.refined || !f.placed || !(f.track.squaredNorm() > 0.0) || !(f.recorded_yaw_sigma > 0.0))
      continue;
    offsets.push_back(
        {courseRow(f.track), yawOf(f.cameraFromLocal().transpose() * f.directCameraFromLocal())});
  }
  return offsets;
}

bool PoseRefiner::fitHeadingOffsets(Eigen::Vector3d* fit) const {
  // Least squares of offset = a + b sin(course) + c cos(course) over the refined frames.
  Eigen::Matrix3d normal = Eigen::Matrix3d::Zero();
  Eigen::Vector3d right = Eigen::Vector3d::Zero();
  const std::vector<CourseOffset> offsets = courseOffsets();
  for (const CourseOffset& c : offsets) {
    normal += c.row * c.row.transpose();
    right += c.row * c.offset;
  }
  if (offsets.size() < static_cast<size_t>(kLeastFramesForHeadingOffset)) return false;
  // What the courses flown do not tell (the sine of strips flown north and south) is taken as
  // none: the sine and cosine lean toward zero by the weight of one frame.
  normal(1, 1) += 1.0;
  normal(2, 2) += 1.0;
  *fit = normal.ldlt().solve(right);
  return fit->allFinite();
}

bool PoseRefiner::buildRefined(BlockFrame& frame, RefinedFrame* out) {
  SE3 pose;
  if (!earthPose(frame.cameraFromLocal(), frame.centre(), &pose)) return false;
  std::vector<cv::Point2f> key_points;
  std::vector<std::shared_ptr<fw::MapPoint>> map_points;
  for (size_t i = 0; i < frame.track_of.size(); ++i) {
    const int t = frame.track_of[i];
    if (t < 0) continue;
    Track& track = block_.tracks.at(t);
    if (!track.triangulated ||
        !(block_.featureError(track, frame, static_cast<int>(i)) <= kMaxSentError)) {
      continue;
    }
    const Eigen::Vector3d world = origin_ + ecef_from_local_ * track.point;
    if (track.map_point_id == 0) track.map_point_id = (*next_map_point_id_)++;
    key_points.push_back(frame.features.pixels[i]);
    // Later windows go on moving the track while the back end reads this frame at its own
    // pace: the frame keeps the point as it stood when the frame was sent, so what the dense
    // stages and terrain fusion read does not depend on when they read it.
    map_points.push_back(std::make_shared<fw::MapPoint>(
        track.map_point_id, pi::Point3d(world.x(), world.y(), world.z())));
  }
  if (static_cast<int>(key_points.size()) < options_.min_points) return false;
  out->pose = pose;
  out->refined = true;
  out->camera = fw::Camera(block_.cameras[frame.camera].parameters());
  out->key_points = std::move(key_points);
  out->map_points = std::move(map_points);
  return true;
}

}  // namespace sfm
