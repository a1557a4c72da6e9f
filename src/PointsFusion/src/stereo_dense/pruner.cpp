#include "src/PointsFusion/src/stereo_dense/pruner.h"

#include "framework/config_store.h"
#include "framework/log.h"
#include "framework/pinhole.h"
#include "framework/pose.h"
#include "framework/run_tally.h"
#include "src/PointsFusion/src/stereo_dense/stage_clock.h"
#include "values/point.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <string>
#include <vector>

namespace {

// v' = v + w t + q x t with t = 2 q x v: rotation by a unit quaternion.
pi::Point3d rotate(const fw::Quaternion& q, const pi::Point3d& v) {
  const double tx = 2.0 * (q.y * v.z - q.z * v.y);
  const double ty = 2.0 * (q.z * v.x - q.x * v.z);
  const double tz = 2.0 * (q.x * v.y - q.y * v.x);
  return {v.x + q.w * tx + (q.y * tz - q.z * ty), v.y + q.w * ty + (q.z * tx - q.x * tz),
          v.z + q.w * tz + (q.x * ty - q.y * tx)};
}

// x -> R x + t with R as a matrix: a quaternion's rotation costs about twice as much per
// point, and every sample of a depth map is moved.
struct RigidMotion {
  fw::Matrix3 R;
  pi::Point3d t;
  RigidMotion(const fw::Quaternion& q, const pi::Point3d& shift)
      : R(fw::quaternionToMatrix(q)), t(shift) {}
  pi::Point3d operator()(const pi::Point3d& v) const {
    return {R[0] * v.x + R[1] * v.y + R[2] * v.z + t.x, R[3] * v.x + R[4] * v.y + R[5] * v.z + t.y,
            R[6] * v.x + R[7] * v.y + R[8] * v.z + t.z};
  }
};

pi::Point3d minus(const pi::Point3d& a, const pi::Point3d& b) {
  return {a.x - b.x, a.y - b.y, a.z - b.z};
}

// Why a record cannot be resampled, or empty when it can.
std::string unusable(const ImageScaled& record) {
  if (record.rectImage.empty() || record.rectImage.type() != CV_8UC3)
    return "its image is not 8-bit with three channels";
  if (record.depth.type() != CV_32FC1 || record.depth.size() != record.rectImage.size())
    return "its depth map does not match its image";
  if (record.count.type() != CV_8UC1 || record.count.size() != record.rectImage.size())
    return "its count map does not match its image";
  if (!(record.K[0] != 0.0) || !(record.K[4] != 0.0)) return "its camera matrix is singular";
  return {};
}

// A point list held whole in one value; as an array it would cost one holder per point.
template <typename T>
sv::Var held(std::vector<T>&& points) {
  return sv::Var(std::make_shared<sv::VarValue_<std::vector<T>>>(std::move(points)));
}

// Calls one output; a failure there costs that output only.
void send(const Pruner::Output& output, sv::Var& payload, const char* name, uint64_t id) {
  try {
    output(payload);
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "Pruner: the " << name << " output failed for frame " << id << ": "
                          << e.what();
  } catch (...) {
    FW_LOG(fw::kLogError) << "Pruner: the " << name << " output failed for frame " << id << ".";
  }
}

// The points of one depth frame: world positions for terrain fusion (every sample the
// resampler keeps, when terrain fusion is fed), frame-local positions and colours of the
// confirmed ones for the point-cloud tiles.
struct Resampled {
  std::vector<pi::Point3d> world;
  std::vector<pi::Point3d> pairOnlyWorld;  // confirmed by no view independent of the pair
  std::vector<pi::Point3f> local;
  std::vector<pi::Point3ub> colours;
  uint64_t counted = 0;  // samples taken
};

// Laplacian response of the rectified view's grey image: where detail lies.
cv::Mat detailOf(const cv::Mat& rectImage) {
  cv::Mat grey, detail;
  cv::cvtColor(rectImage, grey, cv::COLOR_BGR2GRAY);
  const cv::Mat laplacian = (cv::Mat_<float>(3, 3) << 0, 1, 0, 1, -4, 1, 0, 1, 0);
  cv::filter2D(grey, detail, -1, laplacian, cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
  return detail;
}

// What the resampler takes of a pixel: a pixel with a depth and a count other than 1 is
// taken where detail lies or on the grid (`keep`; every such pixel when terrain fusion is fed,
// which keeps its own density). A pixel confirmed by another view (count 2 and more) that is
// kept goes to the tiles too.
enum class Take { kNothing, kSample, kSampleForTiles };

Take takeOf(float depth, int count, bool keep, bool withTerrain) {
  if (!(depth > Pruner::kMinDepth) || count == 1 || (!withTerrain && !keep)) return Take::kNothing;
  return count >= 2 && keep ? Take::kSampleForTiles : Take::kSample;
}

bool hasPairOnlyMask(const ImageScaled& record) {
  return record.pairOnly.type() == CV_8UC1 && record.pairOnly.size() == record.depth.size();
}

// The pixels kUnconfirmedEdgeReach or more inside the record's depth map.
cv::Mat innerDepths(const ImageScaled& record) {
  cv::Mat inner = record.depth > Pruner::kMinDepth;
  const int size = 2 * Pruner::kUnconfirmedEdgeReach + 1;
  cv::erode(inner, inner, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(size, size)),
            cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::Scalar(0));
  return inner;
}

// Calls visit(row, column, depth, take, pairOnly) for each pixel taken, row by row, on the
// grid of `step`; pairOnly tells a depth that no view independent of the record's pair
// confirmed. Terrain fusion, when fed, also takes the depths no other view confirmed (count 1)
// inside the map (`inner`), with pairOnly set.
template <typename Visit>
void forEachTaken(const ImageScaled& record, const cv::Mat& detail, const cv::Mat& inner, int step,
                  bool withTerrain, Visit&& visit) {
  const bool masked = hasPairOnlyMask(record);
  const bool unconfirmed = withTerrain && inner.size() == record.depth.size();
  for (int r = 0; r < record.depth.rows; ++r) {
    const float* depthRow = record.depth.ptr<float>(r);
    const uint8_t* countRow = record.count.ptr<uint8_t>(r);
    const uint8_t* detailRow = detail.ptr<uint8_t>(r);
    const uint8_t* pairOnlyRow = masked ? record.pairOnly.ptr<uint8_t>(r) : nullptr;
    const uint8_t* innerRow = unconfirmed ? inner.ptr<uint8_t>(r) : nullptr;
    const bool gridRow = r % step == 0;
    for (int c = 0; c < record.depth.cols; ++c) {
      if (innerRow && countRow[c] == 1 && innerRow[c] != 0 && depthRow[c] > Pruner::kMinDepth) {
        visit(r, c, depthRow[c], Take::kSample, true);
        continue;
      }
      const bool keep = detailRow[c] > Pruner::kDetailThreshold || (gridRow && c % step == 0);
      const Take take = takeOf(depthRow[c], countRow[c], keep, withTerrain);
      if (take != Take::kNothing)
        visit(r, c, depthRow[c], take, pairOnlyRow && pairOnlyRow[c] != 0);
    }
  }
}

// Samples the depth map (takeOf). The samples are counted first, so that the point lists,
// up to a whole map's pixels, are made once at their size instead of grown by copies.
Resampled resample(const ImageScaled& record, const cv::Mat& detail, int step, bool withTerrain) {
  const SE3 framePose = record.frame->getPoseSE3();
  const fw::Quaternion toFrame = framePose.q.conjugate();
  const pi::Point3d frameShift = rotate(toFrame, framePose.t);
  const SE3 worldFromCamera = record.pose;
  const RigidMotion toWorld(worldFromCamera.q, worldFromCamera.t);
  // Camera points go straight to the frame: L = R(qc) p + tc.
  const fw::Quaternion qc = fw::quaternionProduct(toFrame, worldFromCamera.q);
  const RigidMotion toLocal(qc, minus(rotate(toFrame, worldFromCamera.t), frameShift));

  const float cx = static_cast<float>(record.K[2]);
  const float cy = static_cast<float>(record.K[5]);
  const float ifx = static_cast<float>(1.0 / record.K[0]);
  const float ify = static_cast<float>(1.0 / record.K[4]);

  Resampled out;
  size_t forTiles = 0, pairOnly = 0;
  const cv::Mat inner = withTerrain ? innerDepths(record) : cv::Mat();
  forEachTaken(record, detail, inner, step, withTerrain, [&](int, int, float, Take take, bool own) {
    ++out.counted;
    if (take == Take::kSampleForTiles) ++forTiles;
    if (own) ++pairOnly;
  });
  if (withTerrain) {
    out.world.reserve(out.counted - pairOnly);
    out.pairOnlyWorld.reserve(pairOnly);
  }
  out.local.reserve(forTiles);
  out.colours.reserve(forTiles);
  forEachTaken(
      record, detail, inner, step, withTerrain, [&](int r, int c, float d, Take take, bool own) {
        const pi::Point3d p(static_cast<double>(fw::rayOfPixel(float(c), cx, ifx) * d),
                            static_cast<double>(fw::rayOfPixel(float(r), cy, ify) * d),
                            static_cast<double>(d));
        if (withTerrain) (own ? out.pairOnlyWorld : out.world).push_back(toWorld(p));
        if (take != Take::kSampleForTiles) return;
        const pi::Point3d toTiles = toLocal(p);
        out.local.emplace_back(static_cast<float>(toTiles.x), static_cast<float>(toTiles.y),
                               static_cast<float>(toTiles.z));
        const cv::Vec3b& bgr = record.rectImage.ptr<cv::Vec3b>(r)[c];
        out.colours.emplace_back(bgr[2], bgr[1], bgr[0]);
      });
  return out;
}

}  // namespace

Pruner::Pruner(Output terrain, Output tiles, Output sparse)
    : terrain_(std::move(terrain)), tiles_(std::move(tiles)), sparse_(std::move(sparse)) {
  subscriber_ =
      fw::Messenger::instance().subscribe("sbt.cleaned_frames", 0, &Pruner::OnCleanedFrame, this);
}

Pruner::~Pruner() { subscriber_.shutdown(); }

void Pruner::OnCleanedFrame(const std::shared_ptr<ImageScaled>& frame) { Process(frame); }

void Pruner::handOnSparse(const std::shared_ptr<ImageScaled>& record, uint64_t id) {
  if (!sparse_) return;
  sv::Var payload(std::vector<sv::Var>{sv::Var(record->frame)});
  send(sparse_, payload, "sparse", id);
}

double Pruner::depthError(const ImageScaled& record) {
  if (!(record.focalTimesBaseline > 0.0) || !std::isfinite(record.focalTimesBaseline) ||
      record.depth.type() != CV_32FC1) {
    return 0.0;
  }
  // A few thousand depths tell the median as well as the whole map.
  constexpr int kSampleStep = 8;
  std::vector<float> depths;
  for (int r = 0; r < record.depth.rows; r += kSampleStep) {
    const float* row = record.depth.ptr<float>(r);
    for (int c = 0; c < record.depth.cols; c += kSampleStep) {
      if (row[c] > kMinDepth && std::isfinite(row[c])) depths.push_back(row[c]);
    }
  }
  if (depths.empty()) return 0.0;
  const auto middle = depths.begin() + depths.size() / 2;
  std::nth_element(depths.begin(), middle, depths.end());
  const double z = *middle;
  return z * z / record.focalTimesBaseline * kDisparityError;
}

int Pruner::resampleStep(int rows, int cols) {
  const int fallback = std::max(1, std::max(rows, cols) / 700);
  const int step = *fw::Var::instance().GetInt("pointsfusion.resample_step", fallback);
  if (step >= 1) return step;
  FW_LOG(fw::kLogWarning) << "pointsfusion.resample_step " << step << " is below 1; using 1.";
  return 1;
}

void Pruner::Process(std::shared_ptr<ImageScaled> record) {
  const auto start = std::chrono::steady_clock::now();
  if (!record || !record->frame) {
    FW_LOG(fw::kLogError) << "Pruner: a cleaned frame without its frame was skipped.";
    return;
  }
  const uint64_t id = record->frame->id;
  if (record->depth.empty()) {
    FW_LOG(fw::kLogInfo) << "Pruner: frame " << id
                         << " has no depth map; it is handed on with its sparse points";
    handOnSparse(record, id);
    return;
  }
  const bool withTerrain = static_cast<bool>(terrain_);
  Resampled points;
  std::string problem = unusable(*record);
  if (problem.empty()) {
    try {
      points = resample(*record, detailOf(record->rectImage),
                        resampleStep(record->rectImage.rows, record->rectImage.cols), withTerrain);
    } catch (const std::exception& e) {
      problem = std::string("resampling failed: ") + e.what();
    }
  }
  if (!problem.empty()) {
    // Its dense points are lost, not the frame: its sparse points still map it.
    FW_LOG(fw::kLogError) << "Pruner: frame " << id << " has no dense points: " << problem
                          << "; it is handed on with its sparse points.";
    if (tiles_) fw::RunTally::instance().fail(fw::tally::kPointCloudFrames, "depth map unusable");
    handOnSparse(record, id);
    return;
  }

  if (withTerrain && points.world.empty() && points.pairOnlyWorld.empty()) {
    FW_LOG(fw::kLogInfo) << "Pruner: frame " << id
                         << " kept no depth; it is handed on with its sparse points";
    handOnSparse(record, id);
  } else if (withTerrain) {
    std::vector<sv::Var> message{sv::Var(record->frame), held(std::move(points.world)),
                                 sv::Var(depthError(*record))};
    if (!points.pairOnlyWorld.empty()) {
      FW_LOG(fw::kLogInfo) << "Pruner: frame " << id << ": " << points.pairOnlyWorld.size()
                           << " points no view independent of its image pair confirmed";
      message.push_back(held(std::move(points.pairOnlyWorld)));
    }
    sv::Var payload(message);
    send(terrain_, payload, "terrain", id);
  }
  FW_LOG(fw::kLogInfo) << "Pruner processed " << id << " with " << points.local.size() << "/"
                       << points.counted << " points in " << secondsSince(start) << "s";
  if (tiles_) {
    sv::Var payload(std::vector<sv::Var>{sv::Var(record->frame), held(std::move(points.local)),
                                         held(std::move(points.colours))});
    send(tiles_, payload, "tiles", id);
  }
}
