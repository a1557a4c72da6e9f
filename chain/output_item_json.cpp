#include "output_item_json.h"

bool writeOutputItem(const std::shared_ptr<zel::OutputItem>& record, nlohmann::json& json) {
  if (auto tileset = std::dynamic_pointer_cast<zel::Tileset>(record)) {
    json = nlohmann::json{{"id", tileset->id},
                          {"type", tileset->type},
                          {"state", tileset->state},
                          {"time_updated", tileset->time_updated},
                          {"tileset_type", tileset->tileset_type},
                          {"storage_type", tileset->storage_type},
                          {"tile_size", tileset->tile_size},
                          {"tile_format", tileset->tile_format},
                          {"crs", tileset->crs},
                          {"geometry", tileset->geometry},
                          {"zooms", tileset->zooms}};
    return true;
  }
  if (auto tileset = std::dynamic_pointer_cast<zel::Tileset3D>(record)) {
    json = nlohmann::json{{"id", tileset->id},
                          {"type", tileset->type},
                          {"state", tileset->state},
                          {"time_updated", tileset->time_updated},
                          {"tileset_type", tileset->tileset_type}};
    return true;
  }
  return false;
}
