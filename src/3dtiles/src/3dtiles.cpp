#include "3dtiles.h"

#include "pnts_file.h"
#include "tileset_documents.h"

#include "framework/link_free_folder.h"
#include "framework/log.h"
#include "framework/map_frame.h"
#include "framework/run_tally.h"
#include "tiles/atomic_file.h"
#include "values/json.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <typeinfo>

namespace fs = std::filesystem;

namespace {

constexpr std::int32_t kPointCloudType = 112;
constexpr char kRecordId[] = "pointcloud_01";

using Positions = std::vector<pi::Point3_<float>>;
using Colours = std::vector<pi::Point3_<unsigned char>>;

bool isFinitePoint(const pi::Point3_<float>& p) {
  return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
}

// Keeps the points with finite coordinates, each with its colour, in their order.
void dropNonFinite(Positions& positions, Colours& colours) {
  size_t kept = 0;
  while (kept < positions.size() && isFinitePoint(positions[kept])) ++kept;
  for (size_t i = kept; i < positions.size(); ++i) {
    if (!isFinitePoint(positions[i])) continue;
    positions[kept] = positions[i];
    colours[kept] = colours[i];
    ++kept;
  }
  positions.resize(kept);
  colours.resize(kept);
}

// Level L below the top takes the points 2^L, 3 2^L, 5 2^L, ... and the top level every
// 2^top-th point from 0, so each point is in the largest level whose power divides its index.
void levelPoints(int level, size_t& first, size_t& step) {
  constexpr int kTop = tileset_documents::kLevelCount - 1;
  first = level == kTop ? 0 : size_t(1) << level;
  step = size_t(1) << (level == kTop ? kTop : level + 1);
}

// The point list a payload element holds. Lists travel as arrays of point values; reading
// the points straight from the elements avoids the general conversion, which costs a large
// share of a frame's time. Anything else takes the general conversion and its error.
template <typename P>
std::vector<P> pointList(const sv::Var& value) {
  if (auto* array = static_cast<sv::VarArray*>(value.holder()->ptr(typeid(sv::VarArray)))) {
    std::vector<P> points;
    std::lock_guard<std::mutex> lock(array->mutex);
    points.reserve(array->value.size());
    for (const sv::Var& element : array->value) {
      const auto* point = static_cast<const P*>(element.holder()->ptr(typeid(P)));
      if (!point) break;
      points.push_back(*point);
    }
    if (points.size() == array->value.size()) return points;
  }
  return value.castAs<std::vector<P>>();
}

std::string frameText(const std::shared_ptr<fw::MapFrame>& frame) {
  return frame ? std::to_string(frame->id) : std::string("(none)");
}

}  // namespace

PointCloudTiles::PointCloudTiles(const std::string& location, zel::Node* parent)
    : zel::Node("pnts_tiling", parent), location_(location) {
  record_ = std::make_shared<zel::Tileset3D>();
  record_->id = kRecordId;
  record_->type = kPointCloudType;
  record_->location = (fs::path(location_) / "tileset.json").string();
  std::string reason;
  if (!fw::LinkFreeFolder::open(location_, fw::LinkFreeFolder::Missing::kCreate, reason).isOpen()) {
    FW_LOG(fw::kLogError) << "Failed to create directory: " << location_ << " (" << reason << ")";
    // The task asked for a point cloud that cannot be written: the product fails.
    failRecord();
    return;
  }
  root_ = tileset_documents::rootDocument();
  // An earlier run's point cloud is kept as it is: this run writes none and reports failure.
  std::error_code error;
  if (fs::exists(fs::symlink_status(record_->location, error))) {
    FW_LOG(fw::kLogError) << "PointCloudTiles: " << record_->location
                          << " already exists; nothing will be written. Remove it or choose "
                             "another folder.";
    failRecord();
    return;
  }
  addOutput(record_);
  inert_ = false;
  // Last, so no delivery finds the node half built.
  subscriber_ =
      fw::Messenger::instance().subscribe("sbt.out.pcd", 0, &PointCloudTiles::OnPointCloud, this);
}

PointCloudTiles::~PointCloudTiles() {
  subscriber_.shutdown();
  std::lock_guard<std::mutex> lock(mutex_);
  if (framesNotWritten_ > 0) {
    FW_LOG(fw::kLogError) << "PointCloudTiles: " << framesNotWritten_
                          << " frame(s) could not be written to " << location_;
    fw::RunTally::instance().fail(fw::tally::kPointCloudFrames, "not written",
                                  static_cast<long long>(framesNotWritten_));
    // A point cloud with holes is not a finished product.
    auto failed = std::make_shared<zel::Tileset3D>(*record_);
    failed->state = zel::kOutputFailed;
    failed->markUpdated();
    addOutput(failed);
  }
}

void PointCloudTiles::OnPointCloud(const sv::Var& payload) {
  if (inert_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<fw::MapFrame> frame;
  try {
    frame = payload[0].castAs<std::shared_ptr<fw::MapFrame>>();
    if (!frame) {
      FW_LOG(fw::kLogError) << "PointCloudTiles::OnPointCloud: no frame in the payload";
      ++framesNotWritten_;
      return;
    }
    Positions positions = pointList<pi::Point3_<float>>(payload[1]);
    Colours colours = pointList<pi::Point3_<unsigned char>>(payload[2]);
    writeFrame(frame, std::move(positions), std::move(colours));
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "PointCloudTiles::OnPointCloud: frame " << frameText(frame)
                          << " skipped: " << e.what();
    ++framesNotWritten_;
  } catch (...) {
    FW_LOG(fw::kLogError) << "PointCloudTiles::OnPointCloud: frame " << frameText(frame)
                          << " skipped: unknown failure";
    ++framesNotWritten_;
  }
}

void PointCloudTiles::writeFrame(const std::shared_ptr<fw::MapFrame>& frame, Positions positions,
                                 Colours colours) {
  const std::string id = std::to_string(frame->id);
  if (colours.size() < positions.size()) {
    FW_LOG(fw::kLogError) << "PointCloudTiles::OnPointCloud: frame " << id << " has "
                          << colours.size() << " colours for " << positions.size()
                          << " points; skipped";
    ++framesNotWritten_;
    return;
  }
  colours.resize(positions.size());
  dropNonFinite(positions, colours);
  if (positions.size() < kMinPoints) {
    // Too few for a tile set: most often the frame beside it holds its confirmed ground (the
    // last frame of the run or of a block of frames).
    fw::RunTally::instance().fail(fw::tally::kPointCloudFrames, "too few points of its own");
    return;
  }

  const SE3 pose = frame->getPoseSE3();
  const TileBox local = localBox(positions);
  const TileMatrix transform = poseToMatrix(pose);
  const TileBox world = transformBox(local, pose);
  if (!isFinite(pose) || !isFinite(transform) || !isFinite(world)) {
    FW_LOG(fw::kLogError) << "PointCloudTiles::OnPointCloud: frame " << id
                          << " has a pose that is not finite; skipped";
    ++framesNotWritten_;
    return;
  }

  if (!encodeLevels(id, positions, colours)) return;
  if (!writeFrameFolder(id, local, transform)) return;
  if (!addToRoot(frame->id, world)) return;
  refreshRecord();
  fw::RunTally::instance().add(fw::tally::kPoints, static_cast<long long>(positions.size()));
  fw::RunTally::instance().add(fw::tally::kPointCloudFrames);
}

bool PointCloudTiles::encodeLevels(const std::string& id, const Positions& positions,
                                   const Colours& colours) {
  levelBytes_.resize(tileset_documents::kLevelCount);
  for (int level = 0; level < tileset_documents::kLevelCount; ++level) {
    size_t first = 0, step = 1;
    levelPoints(level, first, step);
    if (!encodePntsEvery(positions, colours, first, step, levelBytes_[level])) {
      FW_LOG(fw::kLogError) << "PointCloudTiles::OnPointCloud: frame " << id << " level " << level
                            << " is too large for a .pnts file; skipped";
      ++framesNotWritten_;
      return false;
    }
  }

  return true;
}

bool PointCloudTiles::writeFrameFolder(const std::string& id, const TileBox& local,
                                       const TileMatrix& transform) {
  const std::string path = (fs::path(location_) / id).string();
  std::string reason;
  // Never through a link, wherever one was planted on the way since the start.
  const fw::LinkFreeFolder folder =
      fw::LinkFreeFolder::open(path, fw::LinkFreeFolder::Missing::kCreate, reason);
  if (!folder.isOpen()) {
    FW_LOG(fw::kLogError) << "PointCloudTiles::OnPointCloud: cannot create " << path << " ("
                          << reason << ")";
    ++framesNotWritten_;
    return false;
  }
  for (int level = 0; level < tileset_documents::kLevelCount; ++level) {
    if (!writeFile(folder, tileset_documents::levelFileName(level), levelBytes_[level]))
      return false;
  }
  const sv::Var frameDoc = tileset_documents::frameDocument(local, transform);
  return writeFile(folder, "tileset.json", sv::Json::dump(frameDoc));
}

bool PointCloudTiles::addToRoot(uint64_t frameId, const TileBox& world) {
  const TileBox box = rootBox_ ? mergeBoundingBox(*rootBox_, world) : world;
  std::vector<sv::Var> children = entries_;
  const sv::Var entry = tileset_documents::rootEntry(world, frameId);
  const auto known = entryOfFrame_.find(frameId);
  if (known != entryOfFrame_.end()) {
    children[known->second] = entry;
  } else {
    children.push_back(entry);
  }
  sv::Var rootTile = root_["root"];
  const sv::Var previousBox = rootTile["boundingVolume"];
  const sv::Var previousChildren = rootTile["children"];
  sv::Var volume;
  volume["box"] = tileset_documents::numbers(box.data(), box.size());
  rootTile["boundingVolume"] = volume;
  rootTile["children"] = sv::Var(children);
  std::string reason;
  const fw::LinkFreeFolder folder =
      fw::LinkFreeFolder::open(location_, fw::LinkFreeFolder::Missing::kFail, reason);
  if (!folder.isOpen()) {
    FW_LOG(fw::kLogError) << "PointCloudTiles::OnPointCloud: cannot write " << record_->location
                          << " (" << reason << ")";
    ++framesNotWritten_;
  }
  if (!folder.isOpen() || !writeFile(folder, "tileset.json", sv::Json::dump(root_))) {
    rootTile["boundingVolume"] = previousBox;
    rootTile["children"] = previousChildren;
    return false;
  }
  rootBox_ = box;
  if (known == entryOfFrame_.end()) entryOfFrame_[frameId] = children.size() - 1;
  entries_ = std::move(children);
  return true;
}

bool PointCloudTiles::writeFile(const fw::LinkFreeFolder& folder, const std::string& name,
                                const std::string& bytes) {
  std::string reason;
  if (tile_files::writeFileAtomically(folder, name, bytes.data(), bytes.size(), reason))
    return true;
  FW_LOG(fw::kLogError) << "PointCloudTiles::OnPointCloud: cannot write " << folder.pathOf(name)
                        << " (" << reason << ")";
  ++framesNotWritten_;
  return false;
}

void PointCloudTiles::failRecord() {
  record_->state = zel::kOutputFailed;
  addOutput(record_);
}

void PointCloudTiles::refreshRecord() {
  auto refreshed = std::make_shared<zel::Tileset3D>(*record_);
  refreshed->state = zel::kOutputInProgress;
  refreshed->markUpdated();
  addOutput(refreshed);
}

TileBox PointCloudTiles::mergeBoundingBox(const TileBox& a, const TileBox& b) {
  double low[3], high[3];
  for (int k = 0; k < 3; ++k) {
    // A rotated box reaches |a1_k| + |a2_k| + |a3_k| from its centre along axis k.
    const double reachA = std::fabs(a[3 + k]) + std::fabs(a[6 + k]) + std::fabs(a[9 + k]);
    const double reachB = std::fabs(b[3 + k]) + std::fabs(b[6 + k]) + std::fabs(b[9 + k]);
    low[k] = std::min(a[k] - reachA, b[k] - reachB);
    high[k] = std::max(a[k] + reachA, b[k] + reachB);
  }
  TileBox merged{};
  for (int k = 0; k < 3; ++k) {
    merged[k] = (low[k] + high[k]) * 0.5;
    merged[3 + 4 * k] = std::max(merged[k] - low[k], high[k] - merged[k]);
  }
  return merged;
}
