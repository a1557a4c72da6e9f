#include "src/TerrainFusion/src/terrain_placement.h"

#include "src/TerrainFusion/src/terrain_geometry.h"

void TerrainPlacement::giveZoom(int32_t zoom) {
  zoom_ = zoom;
  zoomGiven_ = true;
}

bool TerrainPlacement::chooseZoomFromReadyRasters(int32_t zoom) {
  if (readyRasterZoomFixed()) return false;
  zoom_ = zoom;
  zoomChosen_ = true;
  return true;
}

void TerrainPlacement::setEcefFromEnu(const SE3& ecefFromEnu) {
  ecefFromEnu_ = ecefFromEnu;
  enuFromEcef_ = ecefFromEnu.inverse();
}

void TerrainPlacement::setLocal(const SE3& ecefFromEnu, const Sim3& ecefFromWorld) {
  setEcefFromEnu(ecefFromEnu);
  ecefFromWorld_ = ecefFromWorld;
}

cv::Matx34d TerrainPlacement::enuFromWorld() const {
  return terrain::compose(terrain::matrixOf(enuFromEcef_), terrain::matrixOf(ecefFromWorld_));
}

bool TerrainPlacement::worldFromEnu(cv::Matx34d& worldFromEnu) const {
  cv::Matx34d worldFromEcef;
  if (!terrain::inverseMatrixOf(ecefFromWorld_, worldFromEcef)) return false;
  worldFromEnu = terrain::compose(worldFromEcef, terrain::matrixOf(ecefFromEnu_));
  return true;
}
