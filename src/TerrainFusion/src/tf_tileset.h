#pragma once

#include "chain/output_item.h"

#include <string>

// The output record of one tile set of terrain fusion: "dom" (PNG tiles of 256 x 256) or
// "dsm" (float TIFF tiles of 64 x 64). Any other kind keeps the plain tileset defaults
// with tileset_type -1.
class TfTileset : public zel::Tileset {
 public:
  explicit TfTileset(const std::string& kind);
};
