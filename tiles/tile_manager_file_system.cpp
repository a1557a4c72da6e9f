#include "tiles/tile_manager_file_system.h"

#include "framework/log.h"
#include "tiles/atomic_file.h"
#include "tiles/png_codec.h"
#include "tiles/store_images.h"
#include "tiles/tile_blobs.h"

#include <sstream>
#include <stdexcept>

namespace fw {

void makeStoreFolder(const std::string& folder) {
  std::string reason;
  if (!LinkFreeFolder::open(folder, LinkFreeFolder::Missing::kCreate, reason).isOpen())
    throw std::runtime_error("cannot make the folder " + folder + ": " + reason);
}

std::string tilePath(const std::string& folder, int32_t x, int32_t y, int32_t z,
                     const char* extension) {
  const std::string zs = std::to_string(z);
  return folder + "/" + zs + "/" + zs + "_" + std::to_string(x) + "_" + std::to_string(y) +
         extension;
}

template <typename Tile>
TileManagerFileSystem<Tile>::TileManagerFileSystem(const std::string& folder) : folder_(folder) {}

template <typename Tile>
std::string TileManagerFileSystem<Tile>::RecordPath(int32_t x, int32_t y, int32_t z) const {
  return tilePath(folder_, x, y, z, ".tile");
}

template <typename Tile>
std::shared_ptr<TileBase> TileManagerFileSystem<Tile>::GetTile(int32_t x, int32_t y, int32_t z) {
  std::lock_guard<std::mutex> lock(storeMutex_);
  std::vector<uint8_t> bytes;
  if (!tile_files::readWholeFile(RecordPath(x, y, z), bytes)) return nullptr;
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  auto tile = std::make_shared<Tile>();
  if (!tile->Read(in)) return nullptr;
  return tile;
}

template <typename Tile>
bool TileManagerFileSystem<Tile>::SetTile(int32_t x, int32_t y, int32_t z,
                                          const std::shared_ptr<TileBase>& tile) {
  std::lock_guard<std::mutex> lock(storeMutex_);
  auto image = std::dynamic_pointer_cast<ImageTile>(tile);
  if (!image) return false;
  std::ostringstream record;
  if (!image->Write(record)) return false;
  const std::string bytes = record.str();
  std::string error;
  return tile_files::writeFileAtomically(RecordPath(x, y, z), bytes.data(), bytes.size(), error);
}

template class TileManagerFileSystem<TerrainFusionMultiTile>;

}  // namespace fw

namespace {
// The zoom folders of the DOM-PNG/DSM-TIFF store are made as its tiles arrive.
constexpr auto kMakeFolders = fw::LinkFreeFolder::Missing::kCreate;

// Puts an image (`kind`: "dom png", "dsm tiff") into its file, whole or not at all.
store_images::Put imageFile(const std::string& path, const char* kind) {
  return [path, kind](const std::vector<uint8_t>& bytes) {
    std::string error;
    if (tile_files::writeFileAtomically(path, bytes.data(), bytes.size(), error, kMakeFolders))
      return true;
    FW_LOG(fw::kLogError) << "TileManagerFileSystemMultiFile - SetTile: Can't write " << kind
                          << " file " << path << ": " << error;
    return false;
  };
}
}  // namespace

template <typename Tile>
TileManagerFileSystemMultiFile<Tile>::TileManagerFileSystemMultiFile(const std::string& tilesFolder,
                                                                     const std::string& domLocation,
                                                                     const std::string& dsmLocation)
    : fw::TileManagerFileSystem<Tile>(tilesFolder),
      domFolder_(domLocation.empty() ? tilesFolder : domLocation),
      dsmFolder_(dsmLocation.empty() ? tilesFolder : dsmLocation) {
  fw::makeStoreFolder(tilesFolder);
  fw::makeStoreFolder(domFolder_);
  fw::makeStoreFolder(dsmFolder_);
}

template <typename Tile>
TileManagerFileSystemMultiFile<Tile>::~TileManagerFileSystemMultiFile() {
  timings_.log();
}

template <typename Tile>
std::string TileManagerFileSystemMultiFile<Tile>::DomPath(int32_t x, int32_t y, int32_t z) const {
  return fw::tilePath(domFolder_, x, y, z, ".png");
}

template <typename Tile>
std::string TileManagerFileSystemMultiFile<Tile>::DsmPath(int32_t x, int32_t y, int32_t z) const {
  return fw::tilePath(dsmFolder_, x, y, z, ".tiff");
}

template <typename Tile>
std::shared_ptr<fw::TileBase> TileManagerFileSystemMultiFile<Tile>::GetTile(int32_t x, int32_t y,
                                                                            int32_t z) {
  std::lock_guard<std::mutex> lock(this->storeMutex_);
  std::vector<uint8_t> record;
  if (!tile_files::readWholeFile(this->RecordPath(x, y, z), record) || record.empty())
    return nullptr;

  const auto t0 = StoreTimings::Clock::now();
  const std::string domPath = DomPath(x, y, z);
  std::vector<uint8_t> bytes;
  if (!tile_files::readWholeFile(domPath, bytes) || bytes.empty()) return nullptr;
  const auto t1 = StoreTimings::Clock::now();
  fw::GImage image;
  if (!tile_blobs::decodeDomPng(bytes.data(), bytes.size(), image)) {
    FW_LOG(fw::kLogError) << "TileManagerFileSystemMultiFile - GetTile: Can't decode dom png file "
                          << domPath << " of tile x,y,z " << x << "," << y << "," << z
                          << "; the tile is treated as absent";
    return nullptr;
  }
  const auto t2 = StoreTimings::Clock::now();

  fw::GImage elevation;
  const std::string dsmPath = DsmPath(x, y, z);
  if (!tile_files::readWholeFile(dsmPath, bytes) || bytes.empty()) {
    // The heights are lost but the orthophoto is not: keep the tile, without heights.
    FW_LOG(fw::kLogWarning) << "TileManagerFileSystemMultiFile - GetTile: no dsm tiff file "
                            << dsmPath << "; tile x,y,z " << x << "," << y << "," << z
                            << " has no heights";
    elevation = tile_blobs::noDataElevation();
  } else if (!tile_blobs::decodeDsmTiff(bytes.data(), bytes.size(), elevation)) {
    FW_LOG(fw::kLogError) << "TileManagerFileSystemMultiFile - GetTile: Can't decode dsm tiff file "
                          << dsmPath << " of tile x,y,z " << x << "," << y << "," << z
                          << "; the tile is treated as absent";
    return nullptr;
  }

  // The record restores position, time, weight and band stacks; image and elevation come
  // from their own files.
  auto tile = std::make_shared<Tile>(image, elevation);
  std::istringstream in(std::string(record.begin(), record.end()));
  if (!tile->Read(in)) {
    FW_LOG(fw::kLogError) << "Obtained buffer but can't load tile. compressed "
                          << this->RecordPath(x, y, z);
    return nullptr;
  }
  if (tile->GetWeight().empty()) {
    FW_LOG(fw::kLogError) << "Fail to retrieve weight ?????????????????????????????????? ";
  }
  const auto t3 = StoreTimings::Clock::now();
  timings_.addDomRead(StoreTimings::phases({t0, t1, t2, t3}));
  return tile;
}

template <typename Tile>
bool TileManagerFileSystemMultiFile<Tile>::SetTile(int32_t x, int32_t y, int32_t z,
                                                   const std::shared_ptr<fw::TileBase>& tile) {
  std::lock_guard<std::mutex> lock(this->storeMutex_);
  if (!tile) return false;
  const auto multi = store_images::multiTileOf(tile);
  if (!multi) return false;
  std::ostringstream record;
  if (!multi->Write(record)) {
    FW_LOG(fw::kLogError) << "TileManagerFileSystemMultiFile - SetTile: Can't serialize tile x,y,z "
                          << x << "," << y << "," << z;
    return false;
  }
  // The record goes last: a tile whose write was cut short keeps its earlier record (or
  // none), never a record that promises images that are not there yet.
  bool ok = true;
  if (!multi->GetImage().empty()) {
    const std::string path = DomPath(x, y, z);
    const bool dom =
        store_images::putDom(*multi, kPngStored, path, timings_, imageFile(path, "dom png"));
    if (dom) written_.dom(x, y, z);
    ok = dom && ok;
  }
  if (!multi->GetElevation().empty()) {
    const std::string path = DsmPath(x, y, z);
    const bool dsm = store_images::putDsm(*multi, path, timings_, imageFile(path, "dsm tiff"));
    if (dsm) written_.dsm(x, y, z);
    ok = dsm && ok;
  }
  const std::string recordPath = this->RecordPath(x, y, z);
  const std::string bytes = record.str();
  std::string error;
  if (!tile_files::writeFileAtomically(recordPath, bytes.data(), bytes.size(), error,
                                       kMakeFolders)) {
    FW_LOG(fw::kLogError) << "TileManagerFileSystemMultiFile - SetTile: Can't open file "
                          << recordPath << " for write. " << error;
    return false;
  }
  return ok;
}

template class TileManagerFileSystemMultiFile<TerrainFusionMultiTile>;
