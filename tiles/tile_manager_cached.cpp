#include "tiles/tile_manager_cached.h"

#include "framework/log.h"

#include <algorithm>
#include <exception>
#include <functional>

namespace fw {
namespace {

// Stores a tile and reports whether it was stored; a store that throws (folder creation)
// counts as a refusal. Logs the failure with the tile's key.
bool storeTile(TileManager& store, int32_t x, int32_t y, int32_t z,
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

TileManagerCached::Holder::~Holder() { writeBack(); }

void TileManagerCached::Holder::writeBack() {
  if (stored) return;
  stored = true;
  if (!store_ || !*store_ || !tile) return;
  auto image = std::dynamic_pointer_cast<ImageTile>(tile);
  if (!image || !image->IsModified()) return;
  const pi::Point3_<int32_t> p = image->GetPosition();
  if (!storeTile(**store_, p.x, p.y, p.z, tile)) ++*failures_;
}

void TileManagerCached::PendingWrites::takeTurnLocked() {
  if (hasTurn_) return;
  hasTurn_ = true;
  turn_ = cache_.nextTurn_++;
}

void TileManagerCached::PendingWrites::leaveLocked(const Key& key, std::shared_ptr<Holder> holder) {
  takeTurnLocked();
  cache_.leaving_[key] = holder;
  leaving_.emplace_back(key, std::move(holder));
}

void TileManagerCached::PendingWrites::inTurnLocked(std::function<void()> work) {
  takeTurnLocked();
  work_ = std::move(work);
}

void TileManagerCached::PendingWrites::rewriteLocked(const Key& key,
                                                     std::shared_ptr<TileBase> tile) {
  takeTurnLocked();
  rewrites_.emplace_back(key, std::move(tile));
}

TileManagerCached::PendingWrites::~PendingWrites() {
  if (!hasTurn_) return;
  {
    std::unique_lock<std::mutex> lock(cache_.turnMutex_);
    cache_.turnServed_.wait(lock, [this] { return cache_.servedTurns_ == turn_; });
  }
  std::vector<std::shared_ptr<Holder>> holders;
  for (const auto& leaving : leaving_) holders.push_back(leaving.second);
  if (batch && !holders.empty()) {
    try {
      batch(holders);
    } catch (const std::exception& e) {
      FW_LOG(kLogError) << "TileManagerCached - batched write-back failed: " << e.what()
                        << "; the tiles are written one by one";
    }
  }
  // In the order the tiles left the cache; a tile the batch wrote is not written again.
  for (const auto& holder : holders) holder->writeBack();
  if (cache_.store_) {
    for (const auto& [key, tile] : rewrites_) {
      storeTile(*cache_.store_, static_cast<int32_t>(key.x), static_cast<int32_t>(key.y),
                static_cast<int32_t>(key.z), tile);
    }
  }
  if (work_) work_();
  {
    std::lock_guard<std::mutex> lock(cache_.mutex_);
    for (const auto& [key, holder] : leaving_) {
      const auto it = cache_.leaving_.find(key);
      if (it != cache_.leaving_.end() && it->second == holder) cache_.leaving_.erase(it);
    }
  }
  {
    std::lock_guard<std::mutex> lock(cache_.turnMutex_);
    ++cache_.servedTurns_;
  }
  cache_.turnServed_.notify_all();
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

void TileManagerCached::popBackLocked(PendingWrites& writes) {
  std::shared_ptr<Holder> holder = std::move(entries_.back().holder);
  const Key key = entries_.back().key;
  index_.erase(key);
  entries_.pop_back();
  writes.leaveLocked(key, std::move(holder));
}

void TileManagerCached::insertLocked(const Key& key, const std::shared_ptr<TileBase>& tile,
                                     PendingWrites& writes) {
  entries_.push_front({key, makeHolder(tile)});
  index_[key] = entries_.begin();
  if (index_.size() > capacity_) popBackLocked(writes);
}

std::shared_ptr<TileBase> TileManagerCached::loadLocked(const Key& key) {
  const auto leaving = leaving_.find(key);
  if (leaving != leaving_.end()) return leaving->second->tile;  // newer than the store's
  return store_->GetTile(static_cast<int32_t>(key.x), static_cast<int32_t>(key.y),
                         static_cast<int32_t>(key.z));
}

std::shared_ptr<TileBase> TileManagerCached::GetTile(int32_t x, int32_t y, int32_t z) {
  PendingWrites writes(*this);  // written after the lock is released
  std::lock_guard<std::mutex> lock(mutex_);
  const Key key = keyOf(x, y, z);
  auto it = touchLocked(key);
  if (it != entries_.end()) return it->holder->tile;
  if (!store_) return nullptr;
  std::shared_ptr<TileBase> tile = loadLocked(key);
  insertLocked(key, tile, writes);
  return tile;
}

bool TileManagerCached::SetTile(int32_t x, int32_t y, int32_t z,
                                const std::shared_ptr<TileBase>& tile) {
  PendingWrites writes(*this);  // written after the lock is released
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
    insertLocked(key, tile, writes);
  }
  return true;
}

void TileManagerCached::call(const std::string& command, void* arg) {
  if (command == "saveCache") {
    // After the writes of tiles that left the cache earlier, so none of them lands on a
    // newer tile this writes.
    PendingWrites writes(*this);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      writes.inTurnLocked([this] {
        std::lock_guard<std::mutex> lock(mutex_);
        saveCacheLocked();
      });
    }
  } else if (store_) {
    store_->call(command, arg);
  }
}

void TileManagerCached::saveCacheLocked() {
  if (!store_) return;
  std::vector<const Entry*> modified;
  std::vector<std::shared_ptr<TileBase>> tiles;
  for (const Entry& entry : entries_) {
    auto tile = std::dynamic_pointer_cast<ImageTile>(entry.holder->tile);
    if (!tile || !tile->IsModified()) continue;
    modified.push_back(&entry);
    tiles.push_back(entry.holder->tile);
  }
  if (tiles.empty()) return;
  // Together first (one commit instead of one per tile), then one by one what that left.
  std::vector<bool> stored(tiles.size(), false);
  try {
    stored = storeTogether(tiles);
  } catch (const std::exception& e) {
    FW_LOG(kLogError) << "TileManagerCached - saving the cache together failed: " << e.what()
                      << "; the tiles are written one by one";
  }
  stored.resize(tiles.size(), false);
  for (size_t i = 0; i < tiles.size(); ++i) {
    const Key& k = modified[i]->key;
    // A tile the store refused keeps its mark, so a later write-back tries again.
    if (stored[i] || storeTile(*store_, static_cast<int32_t>(k.x), static_cast<int32_t>(k.y),
                               static_cast<int32_t>(k.z), tiles[i])) {
      std::static_pointer_cast<ImageTile>(tiles[i])->SetModified(false);
    } else {
      ++writeBackFailures_;
    }
  }
}

std::vector<bool> TileManagerCached::storeTogether(
    const std::vector<std::shared_ptr<TileBase>>& tiles) {
  return std::vector<bool>(tiles.size(), false);
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
