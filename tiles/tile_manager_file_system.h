#pragma once

#include "tiles/written_tiles.h"

#include "tiles/store_timings.h"
#include "tiles/tile_manager.h"

#include <mutex>
#include <string>

namespace fw {

// The one-record-per-file store: each tile's binary record in
// <folder>/<z>/<z>_<x>_<y>.tile. It creates no folder. Also the base of the two other
// stores, which share its folder and its lock (held by every GetTile and SetTile).
template <typename Tile>
class TileManagerFileSystem : public TileManager {
 public:
  explicit TileManagerFileSystem(const std::string& folder);

  std::string type() const override { return "TileManagerFileSystem"; }
  std::shared_ptr<TileBase> GetTile(int32_t x, int32_t y, int32_t z) override;
  bool SetTile(int32_t x, int32_t y, int32_t z, const std::shared_ptr<TileBase>& tile) override;

  std::string RecordPath(int32_t x, int32_t y, int32_t z) const;

 protected:
  std::string folder_;
  std::mutex storeMutex_;
};

// Opens the folder without following links, making what is missing; throws
// std::runtime_error with the reason when it cannot.
void makeStoreFolder(const std::string& folder);

// <folder>/<z>/<z>_<x>_<y><extension>
std::string tilePath(const std::string& folder, int32_t x, int32_t y, int32_t z,
                     const char* extension);

}  // namespace fw

// The DOM-PNG/DSM-TIFF file store: per tile the record file in the tiles folder, the DOM
// as an RGBA PNG in the DOM folder and the DSM as a float TIFF in the DSM folder. Every
// file is written under a temporary name and renamed, so a killed process never leaves a
// torn file; SetTile reports false when any of the three was not written.
template <typename Tile>
class TileManagerFileSystemMultiFile : public fw::TileManagerFileSystem<Tile> {
 public:
  // An empty DOM or DSM location means the tiles folder. Creates the three folders;
  // throws std::runtime_error when it cannot.
  TileManagerFileSystemMultiFile(const std::string& tilesFolder, const std::string& domLocation,
                                 const std::string& dsmLocation);
  // Prints the timing summaries.
  ~TileManagerFileSystemMultiFile() override;

  std::string type() const override { return "TileManagerFileSystemMultiFile"; }
  // The stored tile, null when its record or DOM is missing or does not decode. A tile
  // whose DSM file is missing comes back with a 64 x 64 layer of -1e9 (no height).
  std::shared_ptr<fw::TileBase> GetTile(int32_t x, int32_t y, int32_t z) override;
  // The zoom folders are made as tiles arrive, never through a link.
  bool SetTile(int32_t x, int32_t y, int32_t z, const std::shared_ptr<fw::TileBase>& tile) override;

  std::string DomPath(int32_t x, int32_t y, int32_t z) const;
  std::string DsmPath(int32_t x, int32_t y, int32_t z) const;
  // The DOM and DSM images this store has written.
  WrittenTiles& written() { return written_; }

 private:
  std::string domFolder_;
  std::string dsmFolder_;
  StoreTimings timings_;
  WrittenTiles written_;
};
