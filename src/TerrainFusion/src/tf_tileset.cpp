#include "src/TerrainFusion/src/tf_tileset.h"

TfTileset::TfTileset(const std::string& kind) {
  if (kind == "dom") {
    tileset_type = 1;
  } else if (kind == "dsm") {
    tileset_type = 2;
    tile_size = {64, 64};
    tile_format = "tiff";
  }
}
