#pragma once

// A map point: a world position seen by key points of several frames. Its position is
// guarded by the point's own mutex, and so is its list of observations.

#include "values/point.h"

#include <cstdint>
#include <map>
#include <mutex>

namespace fw {

class MapPoint {
 public:
  explicit MapPoint(uint64_t id, const pi::Point3d& position = pi::Point3d())
      : id_(id), position_(position) {}
  MapPoint(const MapPoint&) = delete;
  MapPoint& operator=(const MapPoint&) = delete;

  uint64_t id() const { return id_; }

  pi::Point3d getPosition() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return position_;
  }
  void setPosition(const pi::Point3d& position) {
    std::lock_guard<std::mutex> lock(mutex_);
    position_ = position;
  }

  // Records that key point `keyPointIndex` of frame `frameId` sees this point; false when
  // that frame already has an observation of it.
  bool addObservation(uint64_t frameId, uint64_t keyPointIndex) {
    std::lock_guard<std::mutex> lock(mutex_);
    return observations_.emplace(frameId, keyPointIndex).second;
  }
  // Forgets frame `frameId`'s observation; false when there was none.
  bool eraseObservation(uint64_t frameId) {
    std::lock_guard<std::mutex> lock(mutex_);
    return observations_.erase(frameId) > 0;
  }
  // Frame id -> key-point index.
  std::map<uint64_t, uint64_t> getObservations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return observations_;
  }

 private:
  const uint64_t id_;
  mutable std::mutex mutex_;
  pi::Point3d position_;
  std::map<uint64_t, uint64_t> observations_;
};

}  // namespace fw
