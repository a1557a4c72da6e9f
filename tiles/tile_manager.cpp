#include "tiles/tile_manager.h"

namespace fw {

TileManager::TileManager() : projection_(defaultProjection()) {}

std::shared_ptr<TileBase> TileManager::GetTile(int32_t, int32_t, int32_t) { return nullptr; }

bool TileManager::SetTile(int32_t, int32_t, int32_t, const std::shared_ptr<TileBase>&) {
  return false;
}

std::vector<pi::Point3_<int32_t>> TileManager::TileList() { return {}; }

uint32_t TileManager::GetLevel() {
  std::lock_guard<std::mutex> lock(mutex_);
  return range_.level;
}

bool TileManager::Export(const std::string&) { return false; }

TileRange TileManager::GetRange() {
  std::lock_guard<std::mutex> lock(mutex_);
  return range_;
}

std::shared_ptr<PureProjection> TileManager::GetProjection() {
  std::lock_guard<std::mutex> lock(mutex_);
  return projection_;
}

void TileManager::SetRange(const TileRange& range) {
  std::lock_guard<std::mutex> lock(mutex_);
  range_ = range;
}

void TileManager::SetProjection(const std::shared_ptr<PureProjection>& projection) {
  std::lock_guard<std::mutex> lock(mutex_);
  projection_ = projection;
}

std::shared_ptr<PureProjection> TileManager::defaultProjection() {
  return projectionForCoordinate("GPS");
}

}  // namespace fw
