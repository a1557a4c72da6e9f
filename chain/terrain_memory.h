#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

// The memory the terrain node may use and what its settings ask of it, checked before
// anything is allocated: at start for the settings alone, and per frame once its raster's
// size is known.
namespace terrain_memory {

// Peak bytes per pixel of a frame's local rasters while it is tiled: DOM, weight and heights,
// the DOM with its holes filled (float, with its pyramid), the band and weight pyramids.
constexpr double kRasterBytesPerPixel = 64.0;
// Bytes of one cached tile: DOM, weight, heights and both band stacks.
constexpr double kCachedTileBytes = 900.0 * 1024.0;
// The smallest frame the settings are checked for at start (frame sizes come later).
constexpr double kSmallestFramePixels = 640.0 * 480.0;
// The largest "dom"."scale": the DOM 8 zoom levels coarser than the frames' ground sampling
// distance, where a 4000-pixel frame still spans 16 DOM pixels; far beyond, frames shrink
// below a pixel and no tile gets any weight.
constexpr double kMaxDomScale = 256.0;
// The coarsest "dom"."max_zoom_level": at zoom 10 a pixel spans 150 m at the equator, and
// below it a drone frame covers less than a pixel, so no tile would get any weight.
constexpr int kCoarsestMaxZoom = 10;

// The settings that bound the node's memory, from its JSON configuration ("legacy_tf").
struct Settings {
  double budgetBytes = 0.0;  // "terrainfusion.memory_budget_mb", default defaultBudgetBytes()
  int workers = 1;           // "terrainfusion.threads", default defaultWorkers()
  double cacheTiles = 0.0;   // "terrainfusion.cache_size", default 1000
  double scale = 1.0;        // "dom"."scale", default 1.0

  // The tiles the cache may keep: as many as asked for, within half the budget.
  double cacheTilesAllowed() const;
  // What one worker's frame may take: what the cache leaves of the budget, shared by the
  // workers.
  double frameBudgetBytes() const;
  // How many times the DOM's zoom lies below the frames' own ground sampling distance.
  int zoomSteps() const;
};

// The terrain workers when "terrainfusion.threads" is not set: half the hardware threads
// (rounded down) plus one, so that the dense stages keep threads of their own.
int defaultWorkers();

// The machine's memory, or the address space the process may use when that is limited
// (ulimit -v) and smaller.
double machineBytes();

// Half of machineBytes().
double defaultBudgetBytes();

// The settings of a "legacy_tf" object, each key found as the node's settings store finds it
// (flat, nested, else from the environment). Keys missing or holding no number take their
// defaults and thread counts are kept within 1..fw::maxThreadSetting(), as the node reads them;
// `error` names a memory budget that is not a positive number.
Settings settingsOf(const nlohmann::json& legacyTf, std::string& error);

// Empty when the settings fit the budget; otherwise a one-line error that names the key to
// change and the value that would fit. (A cache asked to keep more than half the budget is
// not refused: the node keeps fewer tiles and says so.) Reads only the JSON: fast enough to call at
// start, before the front end or any image is loaded.
std::string settingsError(const nlohmann::json& legacyTf);

// The refusal of a frame whose raster of `pixels` would not fit a worker's share; empty when
// it fits.
std::string frameError(const Settings& settings, double pixels);

}  // namespace terrain_memory

// The terrain/DOM/DSM settings check for the program's start: `legacyTfJson` is the
// "legacy_tf" object as the back end hands it to the terrain node (JSON text). Empty when
// the run can go on; otherwise the error to report, naming the setting.
std::string terrainSettingsError(const std::string& legacyTfJson);
