#include "framework/run_tally.h"

#include <sstream>

namespace fw {

namespace {

const char* const kOrder[] = {
    tally::kFramesRead,    tally::kFramesLocated, tally::kFramesRefined,
    tally::kDepthMaps,     tally::kPoints,        tally::kPointCloudFrames,
    tally::kTerrainFrames, tally::kDomTiles,      tally::kDsmTiles};

}  // namespace

RunTally& RunTally::instance() {
  static RunTally tally;
  return tally;
}

void RunTally::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  counts_.clear();
  failures_.clear();
}

void RunTally::add(const std::string& name, long long n) {
  std::lock_guard<std::mutex> lock(mutex_);
  counts_[name] += n;
}

void RunTally::fail(const std::string& what, const std::string& reason, long long n) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_[what][reason] += n;
}

long long RunTally::count(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = counts_.find(name);
  return found == counts_.end() ? 0 : found->second;
}

long long RunTally::failures(const std::string& what) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = failures_.find(what);
  long long total = 0;
  if (found != failures_.end())
    for (const auto& [reason, n] : found->second) total += n;
  return total;
}

std::string RunTally::summary() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream out;
  const char* separator = "";
  for (const char* name : kOrder) {
    const auto found = counts_.find(name);
    out << separator << name << " " << (found == counts_.end() ? 0 : found->second);
    separator = ", ";
  }
  // Counts outside the list above come after it, by name.
  for (const auto& [name, n] : counts_) {
    bool listed = false;
    for (const char* known : kOrder) listed = listed || name == known;
    if (!listed) out << ", " << name << " " << n;
  }
  for (const auto& [what, reasons] : failures_) {
    long long total = 0;
    for (const auto& [reason, n] : reasons) total += n;
    out << "; " << what << " failed " << total << " (";
    const char* comma = "";
    for (const auto& [reason, n] : reasons) {
      out << comma << reason << " " << n;
      comma = ", ";
    }
    out << ")";
  }
  return out.str();
}

}  // namespace fw
