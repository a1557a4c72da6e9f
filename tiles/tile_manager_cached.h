#pragma once

#include "tiles/tile_manager.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace fw {

// A least-recently-used cache of tiles over a wrapped store (which may be null). Tiles
// are written back to the store only when they leave the cache or on "saveCache", and
// only when marked modified. Every operation holds the cache lock for its whole run,
// write-backs included, so the store's own lock is always taken inside the cache's.
// A write-back that fails is logged with the tile's key and counted; the count is
// reported when the cache closes.
class TileManagerCached : public TileManager {
 public:
  // Keeps one cached tile. Its destructor is the write-back of a modified tile to the
  // position the tile reports.
  class Holder {
   public:
    Holder(std::shared_ptr<TileBase> tile, const std::shared_ptr<TileManager>* store,
           std::atomic<uint64_t>* failures);
    ~Holder();
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    std::shared_ptr<TileBase> tile;
    // Set once a batched write has committed every part of the tile, so the destructor
    // does not write it a second time.
    bool stored = false;

   private:
    const std::shared_ptr<TileManager>* store_;
    std::atomic<uint64_t>* failures_;
  };

  TileManagerCached(std::shared_ptr<TileManager> store, uint32_t capacity);
  // Writes back every modified tile, then reports the failed write-backs of its life.
  ~TileManagerCached() override;

  std::string type() const override { return "TileManagerCached"; }
  // "saveCache" writes back every modified tile and keeps it cached; any other command
  // goes to the wrapped store.
  void call(const std::string& command, void* arg) override;
  std::shared_ptr<TileBase> GetTile(int32_t x, int32_t y, int32_t z) override;
  // Always true: the tile is cached; the store sees it when it leaves the cache.
  bool SetTile(int32_t x, int32_t y, int32_t z, const std::shared_ptr<TileBase>& tile) override;
  uint32_t GetLevel() override;
  bool Export(const std::string& path) override;
  TileRange GetRange() override;
  std::shared_ptr<PureProjection> GetProjection() override;
  void SetRange(const TileRange& range) override;
  void SetProjection(const std::shared_ptr<PureProjection>& projection) override;

  // Write-backs that failed so far (store refused the tile or threw).
  uint64_t writeBackFailures() const { return writeBackFailures_.load(); }
  size_t size();

 protected:
  struct Key {
    uint32_t x, y, z;
    bool operator==(const Key& o) const { return x == o.x && y == o.y && z == o.z; }
  };
  struct KeyHash {
    size_t operator()(const Key& k) const;
  };
  struct Entry {
    Key key;
    std::shared_ptr<Holder> holder;
  };
  using EntryList = std::list<Entry>;

  static Key keyOf(int32_t x, int32_t y, int32_t z);
  // The helpers below expect the cache lock held.
  // The entry of key moved to the front, or the list's end.
  EntryList::iterator touchLocked(const Key& key);
  // A new entry at the front; the least recent one leaves when over capacity.
  void insertLocked(const Key& key, const std::shared_ptr<TileBase>& tile);
  std::shared_ptr<Holder> makeHolder(const std::shared_ptr<TileBase>& tile);
  // Takes the least recent entry out of the cache and hands over its holder.
  std::shared_ptr<Holder> popBackLocked();
  void saveCacheLocked();

  std::mutex mutex_;
  uint32_t capacity_;
  EntryList entries_;
  std::unordered_map<Key, EntryList::iterator, KeyHash> index_;
  std::shared_ptr<TileManager> store_;
  std::atomic<uint64_t> writeBackFailures_{0};
};

}  // namespace fw
