#include "tiles/tile_manager_cached.h"

#include "framework/log.h"

#include <algorithm>
#include <exception>
#include <functional>

namespace fw {
namespace {

// Stores a tile and reports whether it was stored; a store that throws (folder creation)
// counts as a refusal. Logs the failure with the tile's key.
bool writeBack(TileManager& store, int32_t x, int32_t y, int32_t z,
               const std::shared_ptr<TileBase>& tile) {
  std::string reason = "the store refused it";
  try {
    if (store.SetTile(x, y, z, tile)) return true;
  } catch (const std::exception& e) {
    reason = e.what();
  } catch (...) {
    reason = "unknown exception";
  }
  FW_LOG(kLogError) << "TileManagerCached - write-back of tile x,y,z " << x << "," << y << "," << z
                    << " failed: " << reason;
  return false;
}

}  // namespace

TileManagerCached::Holder::Holder(std::shared_ptr<TileBase> t,
                                  const std::shared_ptr<TileManager>* store,
                                  std::atomic<uint64_t>* failures)
    : tile(std::move(t)), store_(store), failures_(failures) {}

TileManagerCached::Holder::~Holder() {
  if (stored || !store_ || !*store_ || !tile) return;
  auto image = std::dynamic_pointer_cast<ImageTile>(tile);
  if (!image || !image->IsModified()) return;
  const pi::Point3_<int32_t> p = image->GetPosition();
  if (!writeBack(**store_, p.x, p.y, p.z, tile)) ++*failures_;
}

TileManagerCached::TileManagerCached(std::shared_ptr<TileManager> store, uint32_t capacity)
    : capacity_(capacity), store_(std::move(store)) {
  if (store_) {
    TileManager::SetProjection(store_->GetProjection());
    TileManager::SetRange(store_->GetRange());
  }
}

TileManagerCached::~TileManagerCached() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    index_.clear();
    entries_.clear();  // each holder writes its tile back
  }
  const uint64_t failures = writeBackFailures_.load();
  if (failures > 0) {
    FW_LOG(kLogError)
        << "TileManagerCached - " << failures
        << " modified tiles could not be written to the store; they are missing from the products";
  }
}

size_t TileManagerCached::KeyHash::operator()(const Key& k) const {
  const std::hash<uint32_t> h;
  return ((h(k.x) ^ (h(k.y) << 1)) >> 1) ^ (h(k.z) << 1);
}

TileManagerCached::Key TileManagerCached::keyOf(int32_t x, int32_t y, int32_t z) {
  return {static_cast<uint32_t>(x), static_cast<uint32_t>(y), static_cast<uint32_t>(z)};
}

std::shared_ptr<TileManagerCached::Holder> TileManagerCached::makeHolder(
    const std::shared_ptr<TileBase>& tile) {
  return std::make_shared<Holder>(tile, &store_, &writeBackFailures_);
}

TileManagerCached::EntryList::iterator TileManagerCached::touchLocked(const Key& key) {
  auto found = index_.find(key);
  if (found == index_.end()) return entries_.end();
  entries_.splice(entries_.begin(), entries_, found->second);
  return found->second;
}

std::shared_ptr<TileManagerCached::Holder> TileManagerCached::popBackLocked() {
  std::shared_ptr<Holder> holder = std::move(entries_.back().holder);
  index_.erase(entries_.back().key);
  entries_.pop_back();
  return holder;
}

void TileManagerCached::insertLocked(const Key& key, const std::shared_ptr<TileBase>& tile) {
  entries_.push_front({key, makeHolder(tile)});
  index_[key] = entries_.begin();
  if (index_.size() > capacity_) popBackLocked();  // the holder writes back as it goes
}

std::shared_ptr<TileBase> TileManagerCached::GetTile(int32_t x, int32_t y, int32_t z) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Key key = keyOf(x, y, z);
  auto it = touchLocked(key);
  if (it != entries_.end()) return it->holder->tile;
  if (!store_) return nullptr;
  std::shared_ptr<TileBase> tile = store_->GetTile(x, y, z);
  insertLocked(key, tile);
  return tile;
}

bool TileManagerCached::SetTile(int32_t x, int32_t y, int32_t z,
                                const std::shared_ptr<TileBase>& tile) {
  std::lock_guard<std::mutex> lock(mutex_);
  TileRange r = GetRange();
  if (static_cast<int64_t>(z) == static_cast<int64_t>(r.level)) {
    r.maxX = std::max(r.maxX, x);
    r.maxY = std::max(r.maxY, y);
    r.minX = std::min(x, r.minX);
    r.minY = std::min(y, r.minY);
    SetRange(r);
  }
  const Key key = keyOf(x, y, z);
  auto it = touchLocked(key);
  if (it != entries_.end()) {
    it->holder->tile = tile;  // the replaced tile is dropped without a write-back
  } else {
    insertLocked(key, tile);
  }
  return true;
}

void TileManagerCached::call(const std::string& command, void* arg) {
  if (command == "saveCache") {
    std::lock_guard<std::mutex> lock(mutex_);
    saveCacheLocked();
  } else if (store_) {
    store_->call(command, arg);
  }
}

void TileManagerCached::saveCacheLocked() {
  if (!store_) return;
  for (Entry& entry : entries_) {
    auto tile = std::dynamic_pointer_cast<ImageTile>(entry.holder->tile);
    if (!tile || !tile->IsModified()) continue;
    const Key& k = entry.key;
    // A tile the store refused keeps its mark, so a later write-back tries again.
    if (writeBack(*store_, static_cast<int32_t>(k.x), static_cast<int32_t>(k.y),
                  static_cast<int32_t>(k.z), entry.holder->tile)) {
      tile->SetModified(false);
    } else {
      ++writeBackFailures_;
    }
  }
}

size_t TileManagerCached::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

uint32_t TileManagerCached::GetLevel() {
  return store_ ? store_->GetLevel() : TileManager::GetLevel();
}

bool TileManagerCached::Export(const std::string& path) {
  return store_ ? store_->Export(path) : false;
}

TileRange TileManagerCached::GetRange() {
  return store_ ? store_->GetRange() : TileManager::GetRange();
}

std::shared_ptr<PureProjection> TileManagerCached::GetProjection() {
  return store_ ? store_->GetProjection() : TileManager::GetProjection();
}

void TileManagerCached::SetRange(const TileRange& range) {
  if (store_) {
    store_->SetRange(range);
  } else {
    TileManager::SetRange(range);
  }
}

void TileManagerCached::SetProjection(const std::shared_ptr<PureProjection>& projection) {
  if (store_) store_->SetProjection(projection);
  TileManager::SetProjection(projection);
}

}  // namespace fw
