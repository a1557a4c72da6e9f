#pragma once

#include "framework/gobject.h"
#include "framework/projection.h"
#include "tiles/tile.h"
#include "values/point.h"

#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

namespace fw {

// The extent of what was stored at the finest zoom. A new range is the empty box
// (min above max), which holds no tile.
struct TileRange {
  uint32_t level = 0;
  int32_t minX = std::numeric_limits<int32_t>::max();
  int32_t minY = std::numeric_limits<int32_t>::max();
  int32_t maxX = std::numeric_limits<int32_t>::min();
  int32_t maxY = std::numeric_limits<int32_t>::min();

  bool empty() const { return minX > maxX || minY > maxY; }
};

// The one interface through which tiles are got and put, whatever holds them. The range
// and projection accessors are safe from any thread (a small lock of their own, always
// taken last).
class TileManager : public GObject {
 public:
  TileManager();

  std::string type() const override { return "TileManager"; }

  // The stored tile, or null.
  virtual std::shared_ptr<TileBase> GetTile(int32_t x, int32_t y, int32_t z);
  virtual bool SetTile(int32_t x, int32_t y, int32_t z, const std::shared_ptr<TileBase>& tile);
  // Nothing in this system lists tiles; every manager answers an empty list.
  virtual std::vector<pi::Point3_<int32_t>> TileList();
  virtual uint32_t GetLevel();
  // Kept for the shape of the interface; every manager answers 0xFFFFFFFF.
  virtual uint32_t reservedCount() { return 0xFFFFFFFFu; }
  virtual bool Export(const std::string& path);
  virtual TileRange GetRange();
  virtual std::shared_ptr<PureProjection> GetProjection();
  virtual void SetRange(const TileRange& range);
  virtual void SetProjection(const std::shared_ptr<PureProjection>& projection);

  // The Web-Mercator projection every manager starts with.
  static std::shared_ptr<PureProjection> defaultProjection();

 private:
  std::mutex mutex_;
  TileRange range_;
  std::shared_ptr<PureProjection> projection_;
};

}  // namespace fw
