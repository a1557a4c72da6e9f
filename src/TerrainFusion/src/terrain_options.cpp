#include "src/TerrainFusion/src/terrain_options.h"

#include "framework/log.h"
#include "framework/thread_limit.h"

#include <algorithm>
#include <stdexcept>

TerrainOptions TerrainOptions::fromStore(fw::Var& store) {
  TerrainOptions o;
  o.renderMode = *store.GetInt("terrainfusion.render_mode", o.renderMode);
  o.renderZooms = clampRenderZooms(*store.GetInt("terrainfusion.render_zooms", o.renderZooms));
  o.coordinate = *store.GetString("terrainfusion.coordinate", o.coordinate);
  o.cacheSize = *store.GetInt("terrainfusion.cache_size", o.cacheSize);
  if (o.cacheSize < 1) {
    FW_LOG(fw::kLogWarning) << "TerrainFusion: terrainfusion.cache_size " << o.cacheSize
                            << " is below 1; using " << kDefaultCacheSize;
    o.cacheSize = kDefaultCacheSize;
  }
  // A pool without workers would hold its producers' back-pressure wait forever, and one of
  // a million workers would take the memory before the first frame.
  const int workers = *store.GetInt("terrainfusion.threads", o.workers);
  o.workers = std::clamp(workers, 1, fw::maxThreadSetting());
  if (workers > o.workers) {
    FW_LOG(fw::kLogWarning) << "TerrainFusion: terrainfusion.threads " << workers
                            << " is over the limit of " << o.workers << "; using " << o.workers;
  }
  o.autoZoom = *store.GetInt("terrainfusion.auto_zoom", o.autoZoom);
  o.fakeOrigin = *store.GetString("terrainfusion.fake_origin", o.fakeOrigin);
  o.fakeHeight = *store.GetDouble("terrainfusion.fake_height", o.fakeHeight);
  o.imagePath = *store.GetString("imagepath", o.imagePath);
  o.check();
  return o;
}

void TerrainOptions::check() const {
  if (renderZooms < 1 || renderZooms > kMaxRenderZooms) {
    throw std::invalid_argument("terrainfusion.render_zooms " + std::to_string(renderZooms) +
                                " is outside 1.." + std::to_string(kMaxRenderZooms));
  }
  if (cacheSize < 1) {
    throw std::invalid_argument("terrainfusion.cache_size " + std::to_string(cacheSize) +
                                " keeps no tile");
  }
  if (workers < 1) {
    throw std::invalid_argument("terrainfusion.threads " + std::to_string(workers) +
                                " leaves no worker");
  }
}
