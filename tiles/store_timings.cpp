#include "tiles/store_timings.h"

#include "framework/log.h"

#include <string>

namespace {

// Each duration cut to whole microseconds, summed, the sum cut to whole milliseconds.
template <size_t N>
std::array<int64_t, N> sumsMs(const std::vector<std::array<int64_t, N>>& entries) {
  std::array<int64_t, N> us{};
  for (const auto& e : entries) {
    for (size_t i = 0; i < N; ++i) us[i] += e[i] / 1000;
  }
  for (auto& v : us) v /= 1000;
  return us;
}

const char* const kCount = "XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX: ";

}  // namespace

void StoreTimings::log() const {
  if (!domWrites_.empty()) {
    const auto s = sumsMs(domWrites_);
    FW_LOG(fw::kLogInfo) << "TileManagerFileSystemMultiFile - SetTile: dom write time: merge="
                         << s[0] << "ms, encode=" << s[1] << "ms, write=" << s[2]
                         << "ms, total=" << s[3] << "ms";
  }
  if (!dsmWrites_.empty()) {
    const auto s = sumsMs(dsmWrites_);
    FW_LOG(fw::kLogInfo) << "TileManagerFileSystemMultiFile - SetTile: dem write time: encode="
                         << s[0] << "ms, write=" << s[1] << "ms, total=" << s[2] << "ms";
    FW_LOG(fw::kLogInfo) << "WRITE " << kCount << dsmWrites_.size() << " tiles";
  }
  if (!domReads_.empty()) {
    const auto s = sumsMs(domReads_);
    FW_LOG(fw::kLogInfo) << "TileManagerFileSystemMultiFile - GetTile: dom read time: read=" << s[0]
                         << "ms, decode=" << s[1] << "ms, split=" << s[2] << "ms, total=" << s[3]
                         << "ms";
    FW_LOG(fw::kLogInfo) << "read " << kCount << domReads_.size() << " tiles";
  }
}
