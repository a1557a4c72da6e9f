#pragma once

#include <nlohmann/json.hpp>

// The built-in default documents of a task's chain, built once per process.
namespace chain_defaults {

const nlohmann::json& locate();    // {"method": "legacy_sfm"}
const nlohmann::json& dense();     // dense point cloud product
const nlohmann::json& dom();       // orthophoto tiles, 256 x 256 png
const nlohmann::json& dsm();       // surface model tiles, 64 x 64 tif
const nlohmann::json& sfmNode();   // structure-from-motion front end
const nlohmann::json& slamNode();  // SLAM front end
const nlohmann::json& pointFusionNode();
const nlohmann::json& pixelFusionNode();
const nlohmann::json& terrainFusion();  // the "legacy_tf" settings of the back end

}  // namespace chain_defaults

// Merges `from` into `into`: objects member by member and recursively, anything
// else replaces. Members of `into` that `from` does not name stay.
void deepMerge(nlohmann::json& into, const nlohmann::json& from);
