#pragma once

#include "tiles/tile_manager.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace fw {

// A least-recently-used cache of tiles over a wrapped store (which may be null). Tiles
// are written back to the store only when they leave the cache or on "saveCache", and
// only when marked modified. Tiles that leave the cache are written after the cache lock
// is released, so other threads keep using the cache while the store writes; until then
// they stay findable (a read takes them back instead of the store's older copy), and the
// store receives every write in the order the cache made it. Reads from the store and
// "saveCache" still run under the cache lock, so the store's own lock is taken inside it.
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

    // Writes a modified tile back to the position it reports, once: later calls and the
    // destructor do nothing.
    void writeBack();

    std::shared_ptr<TileBase> tile;
    // Set once the tile is written, or a batched write has committed every part of it, so
    // it is not written a second time.
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

  // The store writes one operation makes under the cache lock: tiles that leave the cache
  // and tiles to write again. Its destructor writes them, so an operation declares it before
  // its lock: the writes run after the lock is released (also when the operation throws),
  // and wait for the writes of every operation that took its turn earlier.
  class PendingWrites {
   public:
    explicit PendingWrites(TileManagerCached& cache) : cache_(cache) {}
    ~PendingWrites();
    PendingWrites(const PendingWrites&) = delete;
    PendingWrites& operator=(const PendingWrites&) = delete;

    // Under the cache lock: the holder's tile leaves the cache and stays findable until it
    // is written.
    void leaveLocked(const Key& key, std::shared_ptr<Holder> holder);
    // Under the cache lock: the tile is written to the store whether modified or not.
    void rewriteLocked(const Key& key, std::shared_ptr<TileBase> tile);
    // Under the cache lock: work that writes to the store, run in this turn after the rest
    // (it takes the cache lock itself and must not throw).
    void inTurnLocked(std::function<void()> work);
    // Called with the leaving holders before they write one by one; sets `stored` on the
    // holders whose tiles it wrote.
    std::function<void(std::vector<std::shared_ptr<Holder>>&)> batch;

   private:
    void takeTurnLocked();

    TileManagerCached& cache_;
    bool hasTurn_ = false;
    uint64_t turn_ = 0;
    std::vector<std::pair<Key, std::shared_ptr<Holder>>> leaving_;
    std::vector<std::pair<Key, std::shared_ptr<TileBase>>> rewrites_;
    std::function<void()> work_;
  };

  static Key keyOf(int32_t x, int32_t y, int32_t z);
  // The helpers below expect the cache lock held.
  // The entry of key moved to the front, or the list's end.
  EntryList::iterator touchLocked(const Key& key);
  // A new entry at the front; the least recent one leaves into `writes` when over capacity.
  void insertLocked(const Key& key, const std::shared_ptr<TileBase>& tile, PendingWrites& writes);
  std::shared_ptr<Holder> makeHolder(const std::shared_ptr<TileBase>& tile);
  // Takes the least recent entry out of the cache into `writes`.
  void popBackLocked(PendingWrites& writes);
  // The tile of key from the store, or the one that left the cache and is not written yet.
  std::shared_ptr<TileBase> loadLocked(const Key& key);
  void saveCacheLocked();
  // Writes `tiles` (modified ones) together where the store can: true for each it stored.
  // The cache writes the others one by one; here none is stored together.
  virtual std::vector<bool> storeTogether(const std::vector<std::shared_ptr<TileBase>>& tiles);

  std::mutex mutex_;
  uint32_t capacity_;
  EntryList entries_;
  std::unordered_map<Key, EntryList::iterator, KeyHash> index_;
  std::shared_ptr<TileManager> store_;
  std::atomic<uint64_t> writeBackFailures_{0};
  // Tiles that left the cache and are not written yet, by key (the latest to leave).
  std::unordered_map<Key, std::shared_ptr<Holder>, KeyHash> leaving_;
  // Turns of the operations with store writes: drawn under mutex_, served in order.
  uint64_t nextTurn_ = 0;
  std::mutex turnMutex_;
  std::condition_variable turnServed_;
  uint64_t servedTurns_ = 0;
};

}  // namespace fw
