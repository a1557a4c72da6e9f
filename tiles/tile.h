#pragma once

#include "framework/gimage.h"
#include "framework/gobject.h"
#include "values/point.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

// Map tiles: one cell of the Web-Mercator grid at one zoom (column x, row y, zoom z) with the
// rasters terrain fusion makes for it. Stores and the cache hold every tile as a
// std::shared_ptr<fw::TileBase> and reach its content through the virtual operations of
// fw::ImageTile. Each class writes and reads itself as a binary record (tile_record.h);
// Read returns false on a truncated or corrupt record and then leaves the tile unchanged,
// Write returns false when the stream failed. Rasters handed out share the tile's pixels.
// Tiles carry no lock: whoever changes a tile coordinates with the cache's write-back.
namespace fw {

// The height of a DSM cell that has none.
constexpr float kNoHeight = -1e9f;

class TileBase : public GObject {};

class ImageTile : public TileBase {
 public:
  explicit ImageTile(const GImage& image = GImage());

  std::string type() const override { return "ImageTile"; }

  virtual GImage GetImage() const { return image_; }
  virtual GImage GetElevation() const { return GImage(); }
  virtual GImage GetWeight() const { return GImage(); }
  virtual GImage GetAuxRaster() const { return GImage(); }
  virtual void SetAuxRaster(const GImage&) {}
  virtual uint32_t GetTag() const { return 0xFFFFFFFFu; }
  virtual void SetTag(uint32_t) {}
  // (x, y, z); (0, 0, -1) for tiles that carry no position.
  virtual pi::Point3_<int32_t> GetPosition() const { return {0, 0, -1}; }
  virtual double GetTimestamp() const { return -1.0; }
  // An estimate of the bytes the tile holds.
  virtual uint32_t MemorySize() const;
  virtual bool Write(std::ostream& os) const;
  virtual bool Read(std::istream& is);
  virtual bool IsModified() const { return modified_ != 0; }
  virtual void SetModified(bool modified) { modified_ = modified ? 1 : 0; }
  // Kept for the shape of the interface; no tile class gives it an effect.
  virtual void reservedTileHook() {}

 protected:
  GImage image_;
  uint8_t modified_ = 0;
};

class TerrainTile : public ImageTile {
 public:
  explicit TerrainTile(const GImage& image = GImage(), const GImage& elevation = GImage());

  std::string type() const override { return "TerrainTile"; }

  GImage GetElevation() const override { return elevation_; }
  uint32_t MemorySize() const override;
  bool Write(std::ostream& os) const override;
  bool Read(std::istream& is) override;
  virtual void SetElevation(const GImage& elevation) { elevation_ = elevation; }

 protected:
  GImage elevation_;
};

class TerrainTileWithInfo : public TerrainTile {
 public:
  TerrainTileWithInfo(const GImage& image = GImage(), const GImage& elevation = GImage(),
                      int32_t x = 0, int32_t y = 0, int32_t z = 0, double time = 0.0);

  pi::Point3_<int32_t> GetPosition() const override { return {x_, y_, z_}; }
  double GetTimestamp() const override { return time_; }
  uint32_t MemorySize() const override;
  bool Write(std::ostream& os) const override;
  bool Read(std::istream& is) override;
  virtual void SetTimestamp(double time) { time_ = time; }

 protected:
  int32_t x_;
  int32_t y_;
  int32_t z_;
  double time_;
};

}  // namespace fw

// The tile terrain fusion works on: adds a per-pixel weight, an auxiliary raster and a tag.
// Its record holds position, time and weight only; stores keep the DOM and DSM apart.
class TerrainFusionTile : public fw::TerrainTileWithInfo {
 public:
  TerrainFusionTile(const fw::GImage& image = fw::GImage(),
                    const fw::GImage& elevation = fw::GImage(), int32_t x = 0, int32_t y = 0,
                    int32_t z = 0, const double& time = 0.0,
                    const fw::GImage& weight = fw::GImage(),
                    const fw::GImage& auxRaster = fw::GImage(), uint32_t tag = 0);

  std::string type() const override { return "TerrainFusionTile"; }

  fw::GImage GetWeight() const override { return weight_; }
  fw::GImage GetAuxRaster() const override { return auxRaster_; }
  void SetAuxRaster(const fw::GImage& raster) override { auxRaster_ = raster; }
  uint32_t GetTag() const override { return tag_; }
  void SetTag(uint32_t tag) override { tag_ = tag; }
  uint32_t MemorySize() const override;
  bool Write(std::ostream& os) const override;
  bool Read(std::istream& is) override;
  // Makes r share the tile's weight pixels; the tile is unchanged.
  virtual void CopyWeightTo(fw::GImage& r) const { r = weight_; }

 protected:
  uint32_t tag_;
  fw::GImage weight_;
  fw::GImage auxRaster_;
};

// The tile every store, the cache and terrain fusion create: adds three stacks of rasters
// for multi-band blending.
class TerrainFusionMultiTile : public TerrainFusionTile {
 public:
  TerrainFusionMultiTile(const fw::GImage& image = fw::GImage(),
                         const fw::GImage& elevation = fw::GImage(), int32_t x = 0, int32_t y = 0,
                         int32_t z = 0, const double& time = 0.0,
                         const fw::GImage& weight = fw::GImage(),
                         const fw::GImage& auxRaster = fw::GImage(), uint32_t tag = 0);

  std::string type() const override { return "TerrainFusionMultiTile"; }

  uint32_t MemorySize() const override;
  bool Write(std::ostream& os) const override;
  bool Read(std::istream& is) override;
  // New vectors whose rasters share the tile's pixels.
  virtual std::vector<fw::GImage> GetBandStack1() const { return bandStack1; }
  virtual std::vector<fw::GImage> GetBandStack2() const { return bandStack2; }
  virtual std::vector<fw::GImage> GetBandStack3() const { return bandStack3; }

  // Adds the exact byte length of the tile's record to total and returns the new total.
  uint64_t RecordSize(uint64_t& total) const;

  // Filled by terrain fusion when it builds a tile: the DOM's pyramid bands in stack 1, the
  // weight's in stack 3; stack 2 stays empty. The tile only stores and copies them.
  std::vector<fw::GImage> bandStack1;
  std::vector<fw::GImage> bandStack2;
  std::vector<fw::GImage> bandStack3;
};
