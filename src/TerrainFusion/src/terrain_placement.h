#pragma once

#include "framework/pose.h"

#include <opencv2/core.hpp>

#include <cstdint>

// Where the run's frames lie on the globe and the zoom of their rasters, both fixed once for
// the whole run so that every frame lands on the same tiles:
//   - the zoom comes from the configuration, else from the first ready rasters, else from the
//     first frame that places the run;
//   - the placement (an east-north-up frame and, for frames in local coordinates, the
//     similarity that takes the reconstruction to the globe) comes from the first frame that
//     can place the run; ready rasters never place it.
// Not locked: the node writes it under its zoom mutex, and workers read it only after the
// intake order let them past the placement step, which orders every write before the reads.
class TerrainPlacement {
 public:
  // ---- Zoom
  int32_t zoom() const { return zoom_; }
  // True while neither the configuration nor ready rasters gave the zoom: the first frame
  // that places the run then computes it.
  bool zoomToCompute() const { return !zoomGiven_ && !zoomChosen_; }
  // The configuration's zoom, set when the node is built.
  void giveZoom(int32_t zoom);
  // The zoom of the first ready rasters; false (nothing changed) once the run is placed or
  // ready rasters chose it already. Overrides a configured zoom while nothing is placed.
  bool chooseZoomFromReadyRasters(int32_t zoom);
  // True once ready rasters can no longer change the zoom.
  bool readyRasterZoomFixed() const { return placed_ || zoomChosen_; }
  // The zoom computed from the placing frame.
  void setComputedZoom(int32_t zoom) { zoom_ = zoom; }

  // ---- Placement
  bool placed() const { return placed_; }
  // Ends the search for a placing frame; later frames keep what is set now.
  void markPlaced() { placed_ = true; }
  // Frames already on the globe (GPS): the reconstruction is ECEF, only the ENU frame is set.
  void setEcefFromEnu(const SE3& ecefFromEnu);
  // Frames in local coordinates: the ENU frame at the chosen origin and the similarity that
  // takes the reconstruction there.
  void setLocal(const SE3& ecefFromEnu, const Sim3& ecefFromWorld);
  // Metres of the ground below the placing GPS frame along the ENU up axis (negative).
  void setHeightOffset(float offset) { heightOffset_ = offset; }

  const SE3& ecefFromEnu() const { return ecefFromEnu_; }
  const SE3& enuFromEcef() const { return enuFromEcef_; }
  const Sim3& ecefFromWorld() const { return ecefFromWorld_; }
  float heightOffset() const { return heightOffset_; }
  // Reconstruction coordinates to ENU metres.
  cv::Matx34d enuFromWorld() const;
  // ENU metres to reconstruction coordinates; false when the similarity's scale is zero or
  // not finite.
  bool worldFromEnu(cv::Matx34d& worldFromEnu) const;

 private:
  int32_t zoom_ = 0;
  bool zoomGiven_ = false;
  bool zoomChosen_ = false;
  bool placed_ = false;
  SE3 ecefFromEnu_;
  SE3 enuFromEcef_;
  Sim3 ecefFromWorld_;
  float heightOffset_ = 0.0f;
};
