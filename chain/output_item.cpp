#include "output_item.h"

#include "current_time.h"

#include <atomic>

namespace zel {
namespace {

// Process-wide, so a later refresh always carries a greater version than an earlier
// one, whichever record it was cloned from.
std::atomic<std::uint64_t> g_last_version{0};

}  // namespace

void OutputItem::update(const std::shared_ptr<OutputItem>& other) {
  if (!other) return;
  id = other->id;
  type = other->type;
  state = other->state;
  time_updated = other->time_updated;
  version_ = other->version_;
}

std::shared_ptr<OutputItem> OutputItem::clone() const {
  return std::make_shared<OutputItem>(*this);
}

void OutputItem::markUpdated() { markUpdated(currentTimeSeconds()); }

void OutputItem::markUpdated(double time) {
  time_updated = time;
  version_ = ++g_last_version;
}

bool OutputItem::isNewerThan(const OutputItem& other) const {
  if (time_updated != other.time_updated) return time_updated > other.time_updated;
  return version_ > other.version_;
}

void Tileset3D::update(const std::shared_ptr<OutputItem>& other) {
  OutputItem::update(other);
  if (auto tileset = std::dynamic_pointer_cast<Tileset3D>(other)) {
    location = tileset->location;
    tileset_type = tileset->tileset_type;
    storage_type = tileset->storage_type;
  }
}

std::shared_ptr<OutputItem> Tileset3D::clone() const { return std::make_shared<Tileset3D>(*this); }

Tileset::Tileset() { type = 111; }

void Tileset::update(const std::shared_ptr<OutputItem>& other) {
  OutputItem::update(other);
  if (auto tileset = std::dynamic_pointer_cast<Tileset>(other)) {
    location = tileset->location;
    tileset_type = tileset->tileset_type;
    storage_type = tileset->storage_type;
    tile_size = tileset->tile_size;
    path_template = tileset->path_template;
    tile_format = tileset->tile_format;
    crs = tileset->crs;
    geometry = tileset->geometry;
    zooms = tileset->zooms;
    remark = tileset->remark;
  }
}

// A clone is a plain Tileset that keeps every field of its source, tile size included.
std::shared_ptr<OutputItem> Tileset::clone() const { return std::make_shared<Tileset>(*this); }

}  // namespace zel
