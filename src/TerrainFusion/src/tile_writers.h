#pragma once

#include "src/TerrainFusion/src/tile_access.h"
#include "src/TerrainFusion/src/tile_rasters.h"

#include <cstdint>

// Zooms rendered per tile, its own included, unless "terrainfusion.render_zooms" says otherwise.
constexpr int kDefaultRenderZooms = 6;
// Render zooms above this give empty height blocks (64 / 2^k cells).
constexpr int kMaxRenderZooms = 7;
// "terrainfusion.render_zooms" within 1..kMaxRenderZooms; a value outside logs a warning.
int clampRenderZooms(int requested);

// The column of tile x at `zoom` on the map: a frame across the antimeridian has its raster's
// columns run on past the last one (or start before the first), and its tiles are those of
// the columns taken round the map.
int32_t wrapColumn(long long x, int32_t zoom);

// Render mode 3: merges the frame into the tiles of `zoom` band by band, rebuilds each
// covered tile's DOM from its bands and its eight neighbours' facing edges, then renders the
// lower zooms. The existing tiles around the covered ones are rebuilt as well, since their
// DOM reads the covered tiles' bands along the shared edges. False (logged) when a covered
// tile cannot be got back.
bool blendTiles(TileAccess& access, const TileRasters& rasters, int32_t zoom, int renderZooms);

// Render mode 2: merges DOM, weight and heights pixel by pixel (higher weight wins) and
// renders the lower zooms of each tile at once; band stacks of existing tiles stay as they
// are. False (logged) when the manager refuses a merged tile.
bool stitchTiles(TileAccess& access, const TileRasters& rasters, int32_t zoom, int renderZooms);

// Pastes tile (x, y, z), shrunk, into its ancestors at zooms z - 1 down to
// max(0, z - renderZooms + 1). Holds the tile's lock and takes each ancestor's in turn.
void renderLowerZoomsOf(TileAccess& access, int32_t x, int32_t y, int32_t z, int renderZooms);
