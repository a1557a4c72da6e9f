#pragma once

#include "chain/terrain_memory.h"
#include "framework/config_store.h"
#include "src/TerrainFusion/src/tile_writers.h"

#include <string>

// The terrain node's settings: the "specific" object of its configuration as the node's own
// store holds it. Read once, when the node is built, so that every part of the node works with
// the same values whatever order it first needs them in.
struct TerrainOptions {
  // Render modes of "terrainfusion.render_mode".
  static constexpr int kRenderStitchDsm = 2;
  static constexpr int kRenderBlendTiles = 3;
  static constexpr int kDefaultCacheSize = 1000;

  // "terrainfusion.render_mode": 2 stitches DSM tiles, 3 blends; any other mode tiles nothing.
  int renderMode = kRenderBlendTiles;
  // "terrainfusion.render_zooms": zooms rendered per tile, its own included.
  int renderZooms = kDefaultRenderZooms;
  // "terrainfusion.coordinate": "GCJ" or "BAIDU" (exactly), anything else Web Mercator.
  std::string coordinate = "GPS";
  // "terrainfusion.cache_size": tiles the cache keeps, before the memory budget's cap.
  int cacheSize = kDefaultCacheSize;
  // "terrainfusion.threads": the pool's workers, and so the frames tiled at once, which is
  // also how many frame end times the cache trimming keeps.
  int workers = terrain_memory::defaultWorkers();
  // "terrainfusion.auto_zoom": zoom steps below those ready rasters ask for.
  int autoZoom = 0;
  // "terrainfusion.fake_origin": "lon lat h" where a local reconstruction is placed; empty
  // places it at 0 0 0. Read as three numbers when the first frame is placed.
  std::string fakeOrigin;
  // "terrainfusion.fake_height": metres above ground a local reconstruction is taken as flown
  // at; checked when the first frame is placed, where a bad value fails that frame.
  double fakeHeight = 200.0;
  // "imagepath": folder read in place of the folder of each frame's image path; empty keeps it.
  std::string imagePath;

  // The settings of `store`. Values no node can work with are mended as the node always has:
  // fewer than one worker is one, more than fw::maxThreadSetting() that many (with a warning),
  // a cache size below 1 takes the default (with a warning),
  // render zooms outside 1..kMaxRenderZooms are clamped (with a warning).
  static TerrainOptions fromStore(fw::Var& store);

  // Throws std::invalid_argument, naming the key, for a value the node cannot work with.
  void check() const;
};
