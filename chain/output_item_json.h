#pragma once

#include "output_item.h"

#include <nlohmann/json.hpp>

#include <memory>

// Fills `json` with the status-line form of a tile set record and returns true;
// records of any other kind are not reported (false, `json` untouched).
bool writeOutputItem(const std::shared_ptr<zel::OutputItem>& record, nlohmann::json& json);
