#pragma once

#include "box_geometry.h"
#include "values/var.h"

#include <cstdint>
#include <string>

// The "tileset.json" documents of the point cloud (3D Tiles 1.0, additive refinement).
// Geometric errors never grow from a tile to its children: the root document's 2000, each
// frame's entry 15, the frame document's 15, then 12, 9, 6, 3, 0 down its five levels.
namespace tileset_documents {

constexpr int kLevelCount = 5;  // level 0 densest, level 4 sparsest
constexpr int kRootError = 2000;
constexpr int kFrameError = 15;

// "<level>.pnts", the name of a level's file inside its frame folder.
std::string levelFileName(int level);

// A frame's own document: its local box on every level and its pose as the root's
// transform; level 4 is the root's child and each level the only child of the one above.
sv::Var frameDocument(const TileBox& localBox, const TileMatrix& transform);

// The root document before any frame: no box and no children yet.
sv::Var rootDocument();

// The root document's entry of a frame, pointing at "./<id>/tileset.json".
sv::Var rootEntry(const TileBox& worldBox, uint64_t frameId);

// An array value of the numbers.
sv::Var numbers(const double* values, size_t count);

}  // namespace tileset_documents
