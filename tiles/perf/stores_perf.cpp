// Tiles per second written into the MBTiles store and the file store, one tile per call
// and through the cache's batched flush (one transaction per database), and cache hits
// and misses. Tiles are 256 x 256 orthophoto-like noise with 64 x 64 heights.
#include "testsupport/temp_dir.h"
#include "tiles/store_test_support.h"
#include "tiles/tile_manager_cached_gdal.h"
#include "tiles/tile_manager_file_system.h"
#include "tiles/tile_manager_mbtiles.h"

#include <benchmark/benchmark.h>

namespace {

using MbtilesStore = TileManagerFileSystemMultiFileMbtiles<TerrainFusionMultiTile>;
using FileStore = TileManagerFileSystemMultiFile<TerrainFusionMultiTile>;

constexpr int kTiles = 64;

const std::vector<std::shared_ptr<TerrainFusionMultiTile>>& tiles() {
  static const auto made = [] {
    std::vector<std::shared_ptr<TerrainFusionMultiTile>> t;
    for (int i = 0; i < kTiles; ++i) t.push_back(store_test::makeTile(i % 8, i / 8, 14, i));
    return t;
  }();
  return made;
}

// An empty MBTiles or file store in the folder.
std::shared_ptr<fw::TileManager> makeStore(bool mbtiles, const vmtest::TempDir& dir) {
  if (mbtiles) return std::make_shared<MbtilesStore>((dir / "t").string(), "", "");
  return std::make_shared<FileStore>((dir / "t").string(), "", "");
}

// Each iteration writes kTiles tiles into a fresh store, one SetTile each.
template <typename Store>
void BM_SetTile(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    vmtest::TempDir dir;
    auto store = std::make_shared<Store>((dir / "t").string(), "", "");
    state.ResumeTiming();
    for (const auto& tile : tiles()) {
      const auto p = tile->GetPosition();
      store->SetTile(p.x, p.y, p.z, tile);
    }
    state.PauseTiming();
    store.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kTiles);
}
BENCHMARK_TEMPLATE(BM_SetTile, MbtilesStore)
    ->Name("MbtilesUnbatched")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_SetTile, FileStore)
    ->Name("FilesUnbatched")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// kTiles tiles set in the cache and evicted by age: one batched flush into MBTiles, or
// one write per tile into files.
void BM_FlushByAge(benchmark::State& state) {
  const bool mbtiles = state.range(0) != 0;
  for (auto _ : state) {
    state.PauseTiming();
    vmtest::TempDir dir;
    std::shared_ptr<fw::TileManager> store = makeStore(mbtiles, dir);
    auto cache = std::make_unique<TileManagerCachedGDAL>(fw::TileManager::defaultProjection(),
                                                         store, kTiles);
    for (const auto& tile : tiles()) {
      const auto p = tile->GetPosition();
      cache->SetTile(p.x, p.y, p.z, tile);
    }
    state.ResumeTiming();
    if (mbtiles) {
      cache->flushTilesOlderThanToMbtiles(1e9);
    } else {
      cache->releaseTilesOlderThan(1e9);
    }
    state.PauseTiming();
    cache.reset();
    store.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kTiles);
}
BENCHMARK(BM_FlushByAge)
    ->Arg(1)
    ->Name("MbtilesBatched")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_FlushByAge)->Arg(0)->Name("FilesByAge")->Unit(benchmark::kMillisecond)->UseRealTime();

// A hit finds the tile cached; a miss loads it from the store (capacity 1 over two keys
// alternating, tiles not modified so evictions write nothing).
void BM_Cache(benchmark::State& state) {
  const bool hits = state.range(0) != 0;
  const bool mbtiles = state.range(1) != 0;
  vmtest::TempDir dir;
  std::shared_ptr<fw::TileManager> store = makeStore(mbtiles, dir);
  for (int i = 0; i < 2; ++i) {
    const auto p = tiles()[i]->GetPosition();
    store->SetTile(p.x, p.y, p.z, tiles()[i]);
  }
  TileManagerCachedGDAL cache(fw::TileManager::defaultProjection(), store, hits ? 2 : 1);
  int i = 0;
  for (auto _ : state) {
    const auto p = tiles()[i++ & 1]->GetPosition();
    auto tile = cache.GetTile(p.x, p.y, p.z);
    benchmark::DoNotOptimize(tile);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Cache)->Args({1, 1})->Name("CacheHit");
BENCHMARK(BM_Cache)->Args({0, 1})->Name("CacheMissMbtiles")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Cache)->Args({0, 0})->Name("CacheMissFiles")->Unit(benchmark::kMicrosecond);

}  // namespace
