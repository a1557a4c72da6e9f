#pragma once

#include "chain/output_item.h"

#include "framework/run_tally.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <vector>

// What the end of a mapping run knows of its products, for the final state it reports.

// True when the chain asks for DOM and DSM tiles: a back end item whose settings carry terrain
// fusion ("legacy_tf"), as the chain configuration gives every dense node.
bool chainMakesMapTiles(const nlohmann::json& chain);

// True when the run wrote a DOM or DSM tile: counted in the tally by the terrain stage, or shown
// by a map tile set record that reached the mapper being written or finished (a record is
// refreshed only for tiles that exist; tiles that then fail to be stored fail their record).
bool mapTilesWritten(const fw::RunTally& tally,
                     const std::vector<std::shared_ptr<zel::OutputItem>>& records);
