#include "framework/config_store.h"
#include "framework/log.h"
#include "src/PointsFusion/src/dbscan.h"
#include "src/TerrainFusion/src/TerrainFusion.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <filesystem>

namespace {

// Depths join a cluster with at least this many others within a tenth of the depth span.
constexpr int kDepthClusterMinPoints = 20;
constexpr double kDepthClusterSpanShare = 10.0;

// The frame's observed map points in world coordinates, with their depths.
void observedPoints(fw::MapFrame& frame, std::vector<pi::Point3d>& points,
                    std::vector<double>& depths) {
  const fw::ObservationMap observations = frame.getObservations();
  const fw::Camera camera = frame.getCamera(0);
  const SE3 pose = frame.getPoseSE3();
  for (const auto& observation : observations) {
    const int index = static_cast<int>(observation.second);
    fw::Point2d inverseDepth;
    cv::Point2f position;
    if (!frame.getKeyPointInverseDepth(index, inverseDepth) || !(inverseDepth.x > 0.0) ||
        !frame.getKeyPointPosition(index, position)) {
      continue;
    }
    const double depth = 1.0 / inverseDepth.x;
    const pi::Point3d ray = camera.UnProject(fw::Point2d(position.x, position.y));
    points.push_back(pose.transformPoint(pi::Point3d(ray.x * depth, ray.y * depth, ray.z * depth)));
    depths.push_back(depth);
  }
}

// The points whose depth lies strictly inside the span of the clustered depths.
std::vector<pi::Point3d> clusteredDepthPoints(const std::vector<pi::Point3d>& points,
                                              const std::vector<double>& depths) {
  std::vector<pi::Point3d> kept;
  if (depths.empty()) return kept;
  const auto [smallest, largest] = std::minmax_element(depths.begin(), depths.end());
  DBSCAN dbscan;
  dbscan.Run(depths, 1, (*largest - *smallest) / kDepthClusterSpanShare, kDepthClusterMinPoints);
  double low = 1e9, high = 0.0;
  for (const auto& cluster : dbscan.clusters) {
    for (uint32_t i : cluster) {
      low = std::min(low, depths[i]);
      high = std::max(high, depths[i]);
    }
  }
  for (size_t i = 0; i < points.size(); ++i) {
    if (depths[i] > low && depths[i] < high) kept.push_back(points[i]);
  }
  return kept;
}

// The DSM as 8-bit grey from its min to its max; black when it is flat.
cv::Mat demImage(const cv::Mat& dsm) {
  double lo = 0.0, hi = 0.0;
  cv::minMaxLoc(dsm, &lo, &hi);
  cv::Mat grey;
  if (hi > lo) {
    dsm.convertTo(grey, CV_8U, 255.0 / (hi - lo), -lo * 255.0 / (hi - lo));
  } else {
    grey = cv::Mat::zeros(dsm.size(), CV_8U);
  }
  return grey;
}

}  // namespace

bool TerrainFusion::fuseMapFrame(const std::shared_ptr<fw::MapFrame>& frame) {
  if (!frame) return false;
  FW_LOG(fw::kLogInfo) << "Terrainfusion is working on " << frame->id;
  if (frame->keyPointCount() < 1) {
    FW_LOG(fw::kLogError) << "Too few key points";
    return false;
  }
  if (!fixPlacementAndZoom(frame)) return false;
  auto local = std::make_shared<LocalDSMData>();
  std::vector<pi::Point3d> points;
  std::vector<double> depths;
  observedPoints(*frame, points, depths);
  const std::vector<pi::Point3d> kept = clusteredDepthPoints(points, depths);
  const bool built = makeMap_idw(frame, local, kept);
  return tileLocalRasters(built, frame->id, local);
}

bool TerrainFusion::fusePointCloud(const std::shared_ptr<fw::MapFrame>& frame,
                                   const std::vector<pi::Point3d>& points) {
  if (!frame || !fixPlacementAndZoom(frame)) return false;
  if (stop_) return false;
  auto local = std::make_shared<LocalDSMData>();
  const bool built = makeMap_idw(frame, local, points);
  return tileLocalRasters(built, frame->id, local);
}

bool TerrainFusion::fuseDsmDom(uint32_t id, const pi::Point2ll& tile, int32_t zoom,
                               int32_t zoomOffset, const std::shared_ptr<fw::MapFrame>& frame,
                               cv::Mat& dsm, cv::Mat& dom, cv::Mat& weight) {
  if (zoom < 0 || static_cast<int64_t>(zoom) + zoomOffset < 0) {
    FW_LOG(fw::kLogError) << "Invalid DSM/DOM was passed in - Tile ID: " << id << " (zoom " << zoom
                          << " with offset " << zoomOffset << " is below 0)";
    return false;
  }
  fixZoomFromReadyRasters(zoom, zoomOffset);
  if (stop_) return false;
  auto local = std::make_shared<LocalDSMData>();
  const bool built = makeMapFromDsmDom(id, tile, zoom, frame, local, dsm, dom, weight);
  return tileLocalRasters(built, id, local);
}

bool TerrainFusion::tileLocalRasters(bool built, uint64_t id,
                                     const std::shared_ptr<LocalDSMData>& local) {
  if (!built) {
    FW_LOG(fw::kLogError) << "Failed generate map.";
    return false;
  }
  if (stop_) return false;
  if (*fw::Var::instance().GetInt("pointsfusion.save_local", 0) != 0) {
    const std::filesystem::path folder = std::filesystem::u8path(workFolder_);
    const std::string name = std::to_string(id);
    try {
      cv::imwrite((folder / (name + "_dom.jpg")).string(), local->dom);
      cv::imwrite((folder / (name + "_weight.jpg")).string(), local->weight);
      cv::imwrite((folder / (name + "_dem.jpg")).string(), demImage(local->dsm));
    } catch (const cv::Exception&) {
      // Debug images only: a failed write changes nothing else.
    }
  }
  if (stop_) return false;
  bool tiled = true;
  if (renderMode_ == kRenderStitchDsm) {
    tiled = stitchDSM(local);
  } else if (renderMode_ == kRenderBlendTiles) {
    tiled = generateTiles(local);
  }
  if (!tiled) {
    FW_LOG(fw::kLogError) << "Stitch DSM error.";
    return false;
  }
  return true;
}
