#include "run_outcome.h"

bool chainMakesMapTiles(const nlohmann::json& chain) {
  if (!chain.is_array()) return false;
  for (const nlohmann::json& item : chain) {
    if (!item.is_object() || item.value("type", nlohmann::json()) != "back_end") continue;
    const auto config = item.find("config");
    if (config != item.end() && config->is_object() && config->contains("legacy_tf")) return true;
  }
  return false;
}

bool mapTilesWritten(const fw::RunTally& tally,
                     const std::vector<std::shared_ptr<zel::OutputItem>>& records) {
  if (tally.count(fw::tally::kDomTiles) > 0 || tally.count(fw::tally::kDsmTiles) > 0) return true;
  for (const auto& record : records) {
    if (!std::dynamic_pointer_cast<zel::Tileset>(record)) continue;
    if (record->state == zel::kOutputInProgress || record->state == zel::kOutputFinished)
      return true;
  }
  return false;
}
