#pragma once

#include "chain/terrain_memory.h"
#include "chain/zel_node.h"
#include "framework/bounded_pool.h"
#include "framework/camera.h"
#include "framework/config_store.h"
#include "framework/map_frame.h"
#include "framework/map_fusion.h"
#include "framework/messenger.h"
#include "framework/pose.h"
#include "framework/projection.h"
#include "src/TerrainFusion/src/decoded_image.h"
#include "src/TerrainFusion/src/frame_end_times.h"
#include "src/TerrainFusion/src/frame_undistorter.h"
#include "src/TerrainFusion/src/intake_order.h"
#include "src/TerrainFusion/src/local_rasters.h"
#include "src/TerrainFusion/src/terrain_frame_count.h"
#include "src/TerrainFusion/src/terrain_options.h"
#include "src/TerrainFusion/src/terrain_placement.h"
#include "src/TerrainFusion/src/tile_lock_table.h"
#include "tiles/tile_manager.h"
#include "values/point.h"
#include "values/var.h"

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace height_outliers {
struct StoredCells;
}

// The product node that turns dense frames into DOM and DSM Web-Mercator tiles: per frame
// local rasters (from the frame's points or ready from the caller) at the node's zoom, blended
// into the tiles of a cached tile store. The zoom and the placement of the frames on the globe
// are fixed once, by the first frame that can fix them.
class TerrainFusion : public fw::MapFusion, public zel::Node {
 public:
  // One frame's local rasters (local_rasters.h).
  using LocalDSMData = LocalRasters;

  // Height of a DSM cell that has none.
  static constexpr float kNoHeight = fw::kNoHeight;
  // Storage modes of "dom"."tiling"."storage".
  static constexpr int32_t kStorageFiles = 1;
  static constexpr int32_t kStorageMbtiles = 2;
  // Render modes of "terrainfusion.render_mode".
  static constexpr int32_t kRenderStitchDsm = TerrainOptions::kRenderStitchDsm;
  static constexpr int32_t kRenderBlendTiles = TerrainOptions::kRenderBlendTiles;

  // `config` is the "legacy_tf" object as JSON text. Configuration errors are logged and
  // leave a node that refuses its input; nothing is thrown.
  TerrainFusion(const std::string& config, zel::Chain* chain);
  ~TerrainFusion() override;
  TerrainFusion(const TerrainFusion&) = delete;
  TerrainFusion& operator=(const TerrainFusion&) = delete;

  std::string type() const override { return "TerrainFusion"; }
  // "TerrainFusion_Progress" (double*), "point_cloud" (sv::Var* [frame, points], [frame,
  // points, depth error]: the error in metres of the pair's depths the points came from, or
  // [frame, points, depth error, points no view independent of the frame's image pair
  // confirmed]),
  // "point_cloud_with_dsmdom" (sv::Var* of eight elements), "flush_tile_cache". Never throws.
  void call(const std::string& command, void* arg) override;

  // ---- Intake (queued on the worker pool, or at once for ready rasters). Every frame
  // gets its number in the intake order here; placement and merging follow that order.
  // A frame alone is mapped from its sparse map points (a frame without a depth map); false
  // only when the node was not set up.
  bool fuseFrame(std::shared_ptr<fw::MapFrame> frame) override;
  virtual void addPointCloud(sv::Var* message);
  virtual void addDsmDom(sv::Var* message);
  // The pool tasks; each counts its frame as merged or failed for the run's summary.
  void pointCloudTask(std::shared_ptr<fw::MapFrame> frame, std::vector<pi::Point3d> points,
                      const std::shared_ptr<IntakeTicket>& ticket = nullptr,
                      double depthError = 0.0, std::vector<pi::Point3d> pairOnly = {});
  bool frameTask(std::shared_ptr<fw::MapFrame> frame,
                 const std::shared_ptr<IntakeTicket>& ticket = nullptr);

  // ---- Routes: one frame from its input to tiles. Without a ticket the frame takes the
  // next number of the intake order; the ticket records why the frame failed. Rasters from
  // a frame's sparse map points weigh less than dense ones (route_weights.h). Dense points
  // of a known depth error (metres, 0: unknown) lose the heights that stray from those
  // already stored by more than that error allows (height_outliers.h). Dense points that no
  // view independent of the frame's image pair confirmed (`pairOnly`) rank between the two
  // (kPairOnlyWeightFloor).
  bool fuseMapFrame(const std::shared_ptr<fw::MapFrame>& frame, IntakeTicket* ticket = nullptr);
  bool fusePointCloud(const std::shared_ptr<fw::MapFrame>& frame,
                      const std::vector<pi::Point3d>& points, IntakeTicket* ticket = nullptr,
                      double depthError = 0.0, const std::vector<pi::Point3d>& pairOnly = {});
  bool fuseDsmDom(uint32_t id, const pi::Point2ll& tile, int32_t zoom, int32_t zoomOffset,
                  const std::shared_ptr<fw::MapFrame>& frame, cv::Mat& dsm, cv::Mat& dom,
                  cv::Mat& weight, IntakeTicket* ticket = nullptr);

  // ---- Tiling
  bool generateTiles(const std::shared_ptr<LocalDSMData>& local);
  bool stitchDSM(const std::shared_ptr<LocalDSMData>& local);
  void renderLowerZooms(const pi::Point3_<int32_t>& position);
  void trimTileCache(double now);
  void updateTilesets();

  // ---- Set-up
  // Builds the store of the storage mode, the projection and the tile cache; false (with
  // the reason logged) when the store cannot be used.
  bool setupTileManager();

  // ---- Zoom and placement, fixed once under the zoom mutex
  // The zoom step of the point and frame routes: fixes placement (and zoom unless given)
  // from the first frame that can; false when this frame cannot and none has yet.
  bool fixPlacementAndZoom(const std::shared_ptr<fw::MapFrame>& frame);
  // The zoom step of ready rasters: fixes the zoom (not the placement) once.
  void fixZoomFromReadyRasters(int32_t zoom, int32_t zoomOffset);
  // GPS frames: ENU frame at the frame, ground height from its key points, zoom from the GSD.
  // Expects the zoom mutex held; false (nothing changed) without a GPS fix or key point.
  bool calcHeightOffsetAndZoom(const std::shared_ptr<fw::MapFrame>& frame, bool computeZoom);
  // Local frames: ground plane from the key points placed at the configured fake origin.
  // Expects the zoom mutex held; false (nothing changed) when no plane can be fitted.
  bool calcTileZoom(const std::shared_ptr<fw::MapFrame>& frame, bool computeZoom);

  // ---- Local rasters
  // Rasterises the frame's points and `morePoints` (reconstruction coordinates) into DSM, DOM
  // and weight with a LocalRasteriser, which has the frame's image read, decoded as finely as
  // the DOM needs and undistorted once it knows the raster.
  bool makeMap_idw(const std::shared_ptr<fw::MapFrame>& frame,
                   const std::shared_ptr<LocalDSMData>& local,
                   const std::vector<pi::Point3d>& points,
                   const std::vector<pi::Point3d>& morePoints = {});
  // Height grid (highest point per cell, closed, inner holes filled) and cell weights from
  // float (x, y, z) points, x growing with columns and y against rows. `parameters` holds
  // "gsd" (cell width) and "gsd_lat" (cell height) in metres.
  bool fillGridIdw(const fw::GImage& points, std::vector<fw::GImage>& grids, double x0, double y0,
                   int columns, int rows, sv::Var parameters);
  // Ready rasters of tile (x, y) at zoom `sourceZoom` resampled to the node's zoom. The
  // input matrices are released once resampled.
  bool makeMapFromDsmDom(uint32_t id, const pi::Point2ll& tile, int32_t sourceZoom,
                         const std::shared_ptr<fw::MapFrame>& frame,
                         const std::shared_ptr<LocalDSMData>& local, cv::Mat& dsm, cv::Mat& dom,
                         cv::Mat& weight);

  // ---- Shared helpers of the routes
  // False (image released, refusal counted) when the node could not be set up.
  bool acceptsInput(const std::shared_ptr<fw::MapFrame>& frame);
  // Gives the frame an empty image; warns when the frame refuses.
  static void releaseFrameImage(const std::shared_ptr<fw::MapFrame>& frame);

  // ---- Read-only views for callers and tests. Workers set the zoom and placement: read
  // them once no task runs ("TerrainFusion_Progress" gives 0).
  int32_t zoomLevel() const { return placement_.zoom(); }
  float heightOffset() const { return placement_.heightOffset(); }
  const SE3& enuFrame() const { return placement_.ecefFromEnu(); }
  const Sim3& localPlacement() const { return placement_.ecefFromWorld(); }
  const TerrainPlacement& placement() const { return placement_; }
  bool ready() const { return ready_; }
  int32_t storageMode() const { return storageMode_; }
  const std::shared_ptr<fw::TileManager>& tileManager() const { return tileManager_; }
  const std::shared_ptr<fw::PureProjection>& projection() const { return projection_; }
  fw::Var& settings() { return settings_; }
  // The settings as read from the store once, when the node was built.
  const TerrainOptions& options() const { return options_; }
  const terrain_memory::Settings& memory() const { return memory_; }
  // Frames given to the node so far, and how many of them failed.
  uint64_t framesGiven() const { return frames_.given(); }
  uint64_t framesFailed() const { return frames_.failed(); }

 protected:
  // A pool of `workers` threads; throws when a thread cannot be started (an address-space
  // limit too tight for its stack). Tests give one that always throws.
  virtual std::shared_ptr<fw::BoundedPool> makeWorkerPool(int workers);

 private:
  // The steps of construction; false ends it.
  bool readConfiguration(const std::string& config);
  void applyGivenZoom();
  // Adds both tileset records to the output list (and the parent's) at `state`.
  void addRecords(int32_t state);
  // Writes the zoom into the tile manager's range.
  void publishZoom();
  // The projection's zoom for a GSD, lowered by the DOM scale, within 0..max zoom level.
  int32_t zoomForGsd(double gsd, double latitude) const;
  // The frame's image of `camera` reduced by `factor` (1, 2, 4 or 8), from the reduced copy
  // the frame carries when that fits, else decoded from its file, and, for a camera with
  // distortion, undistorted into its pinhole part at that size; the reason, logged, when it
  // cannot be, else empty.
  std::string decodeFrameImage(fw::MapFrame& frame, const fw::Camera& camera, int factor,
                               DecodedImage& out);
  // Reads and decodes the frame's image file to 8-bit BGR reduced by `factor`; empty,
  // logged, on failure.
  cv::Mat loadFrameImage(fw::MapFrame& frame, int factor);
  // The common tail of the routes: debug images, then the tiling of the render mode, in the
  // frame's turn of the intake order.
  bool tileLocalRasters(bool built, uint64_t id, const std::shared_ptr<LocalDSMData>& local,
                        IntakeTicket& ticket);
  // Judges the frame's heights against those its tiles already hold, in its merge turn:
  // levels a coarse surface, or a dense one its pose lifted or sank as a whole, to them, then
  // drops the heights that stray (height_outliers.h).
  void judgeHeights(uint64_t id, LocalDSMData& local, const height_outliers::StoredCells& tiles);
  // Gives the level gaps between the frame's heights and those its tiles already hold the
  // nearest of them, in its merge turn (level_gaps.h).
  void fillLevelGaps(uint64_t id, LocalDSMData& local, const height_outliers::StoredCells& tiles);
  // The zoom step of the point and frame routes in the intake order: until the placement is
  // fixed, a frame waits for every earlier frame to have tried.
  bool placeInOrder(const std::shared_ptr<fw::MapFrame>& frame, IntakeTicket& ticket);
  // The end of every frame's work, whatever the route: its later frames go on, its image is
  // released, it is counted once (merged or failed), the tileset records are refreshed when
  // it reached the tiles and the cache is trimmed. `name` names it in log lines (the
  // frame's id when empty).
  void finishFrame(const char* step, const std::shared_ptr<fw::MapFrame>& frame,
                   IntakeTicket& ticket, bool fused, const std::string& name = "");
  // The given ticket, or a new one (kept in `own`) at the end of the intake order.
  IntakeTicket& ticketOr(IntakeTicket* ticket, std::shared_ptr<IntakeTicket>& own);
  // The worker pool, created by the first call; null (logged once) while its threads cannot
  // be started, and the frame is then fused on the caller's thread.
  std::shared_ptr<fw::BoundedPool> workerPool();

  std::atomic<bool> stop_{false};
  // The "specific" object of the configuration; read once into options_.
  fw::Var settings_;
  TerrainOptions options_;
  // The end times of finished frames, which bound the cache trimming.
  FrameEndTimes frameEndTimes_;
  bool fetchGps_ = false;
  // The zoom and the frames' place on the globe; written only under zoomMutex_.
  TerrainPlacement placement_;
  std::shared_ptr<fw::TileManager> tileManager_;
  std::shared_ptr<fw::PureProjection> projection_;
  std::mutex zoomMutex_;
  // Created by the first frame or point cloud; read and written only under poolMutex_.
  std::shared_ptr<fw::BoundedPool> pool_;
  bool poolFailureLogged_ = false;
  std::mutex poolMutex_;
  // Per-tile locks of every change of a tile in the cache.
  TileLockTable tileLocks_;
  // The intake order of the frames and its ordered stages.
  IntakeOrder intake_;
  // The frames given so far and how each ended.
  TerrainFrameCount frames_;
  // The memory the node may use; a frame whose rasters would not fit is refused.
  terrain_memory::Settings memory_;
  std::string domLocation_;
  std::string dsmLocation_;
  nlohmann::json config_;
  std::string workFolder_;
  std::string tilesFolder_;
  float scale_ = 1.0f;
  int32_t maxZoomLevel_ = fw::kDeepestZoom;
  int32_t storageMode_ = kStorageFiles;

  fw::Subscriber subscribers_[2];
  fw::Publisher publishers_[3];

  // The undistortion maps of the frames' camera, shared by the workers.
  FrameUndistorter undistorter_;
  // Plane fits draw from this, seeded once, so runs repeat exactly.
  std::mt19937 planeRandom_{20240607u};
  // Set once construction has completed; a node that is not ready refuses all input.
  bool ready_ = false;
  std::string setupError_;  // why setupTileManager failed
};
