#pragma once

// Test helpers that read a written point cloud without our writer's code: py3dtiles (a
// reader we did not write) loads every file, and strict JSON checks hold the rules
// py3dtiles lets pass (additive refinement everywhere, geometric errors that never grow,
// finite numbers only).

#include <array>
#include <filesystem>
#include <string>
#include <vector>

namespace pointcloud_reader {

using Point = std::array<double, 3>;
using Box = std::array<double, 12>;

struct PntsContent {
  std::string path;
  size_t count = 0;
  std::vector<Point> world;  // placed by the transforms on the tile's path
  std::vector<std::array<int, 3>> colours;
  std::vector<Box> boxes;  // every tile's box on the path, root first, in world coordinates
};

struct ReadTiles {
  bool ok = false;
  std::string error;  // the reader's messages when it failed
  std::vector<std::string> tilesets;
  std::vector<PntsContent> pnts;
};

// Loads the root tileset and everything it references with py3dtiles.
ReadTiles readWithPy3dtiles(const std::filesystem::path& rootTileset);

// Strict checks of a root tileset and the frame tilesets it references: each parses as
// strict JSON, "refine" is "ADD" at the top and on every tile, every box holds 12 finite
// numbers, every transform 16, and no child's geometric error exceeds its parent's. Empty
// when all hold, else one line per broken rule.
std::vector<std::string> strictTilesetProblems(const std::filesystem::path& rootTileset);

// True when `p` lies in the oriented box, allowing `tolerance` metres outside each face.
bool insideBox(const Point& p, const Box& box, double tolerance);

}  // namespace pointcloud_reader
