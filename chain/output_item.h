#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace zel {

// States of an output record, as the status lines report them.
constexpr std::int32_t kOutputNotStarted = -1;
constexpr std::int32_t kOutputInProgress = 10;
constexpr std::int32_t kOutputFinished = 12;
constexpr std::int32_t kOutputFailed = -14;

// Description of one product of a task as the controlling application sees it in
// the status lines. Records travel up the node tree as clones; of two records with
// the same id the newer one, by (time_updated, version), wins.
class OutputItem {
 public:
  OutputItem() = default;
  OutputItem(const OutputItem&) = default;
  OutputItem& operator=(const OutputItem&) = default;

  // Copies id, type, state, time_updated and version from the other record.
  virtual void update(const std::shared_ptr<OutputItem>& other);
  // A new record of the same type with every field copied.
  virtual std::shared_ptr<OutputItem> clone() const;
  virtual ~OutputItem() = default;

  // Stamps a refresh: sets time_updated and raises the version, so that two
  // refreshes within one millisecond still order correctly.
  void markUpdated();
  void markUpdated(double time);
  // True when this record is a later refresh than the other one.
  bool isNewerThan(const OutputItem& other) const;
  std::uint64_t version() const { return version_; }

  std::string id;
  std::int32_t type = -1;  // 111 map tile set, 112 point-cloud tile set
  std::int32_t state = kOutputNotStarted;
  double time_updated = -1.0;

 private:
  std::uint64_t version_ = 0;  // never written to JSON
};

// A point-cloud tile set.
class Tileset3D : public OutputItem {
 public:
  void update(const std::shared_ptr<OutputItem>& other) override;
  std::shared_ptr<OutputItem> clone() const override;

  std::string location;  // not written to JSON
  std::int32_t tileset_type = 10;
  std::int32_t storage_type = 1;  // not written to JSON
};

// A Web-Mercator map tile set (DOM or DSM).
class Tileset : public OutputItem {
 public:
  Tileset();
  void update(const std::shared_ptr<OutputItem>& other) override;
  std::shared_ptr<OutputItem> clone() const override;

  std::string location;  // not written to JSON
  std::int32_t tileset_type = -1;
  std::int32_t storage_type = 1;
  std::array<std::int32_t, 2> tile_size{256, 256};  // width, height
  std::string path_template = "{z}/{z}_{x}_{y}";    // not written to JSON
  std::string tile_format = "png";
  std::string crs = "EPSG:3857";
  std::array<double, 4> geometry{0.0, 0.0, 0.0, 0.0};
  std::array<std::int32_t, 2> zooms{0, 0};
  std::string remark;  // not written to JSON
};

}  // namespace zel
