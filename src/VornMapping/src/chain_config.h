#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <ostream>

// Turns the loosely described task into the rebuilt task whose "chain" lists the
// locate node and the dense node, each with a complete "config" from the task and
// the built-in defaults. `task` must be an object with "home" and "dataset"; its
// "locate", "dense", "dom" and "dsm" members are completed in place. Progress lines
// go to `out`. An unsupported locate or dense method throws StartupError (-7, -8).
nlohmann::json rebuildTask(nlohmann::json& task, const std::filesystem::path& home,
                           const std::filesystem::path& cache, std::ostream& out);

// The long side of the image copy the rebuilt chain's front end takes its features from
// ("sfm.refine.image_long_side"), as the front end reads it from its "specific" settings or
// else the environment, its default when neither names one; 0 when the chain has no front end
// or the front end refuses the value. The dataset decodes frames no coarser than this.
int frontEndFeatureImageSide(const nlohmann::json& chain);
