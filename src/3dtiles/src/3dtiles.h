#pragma once

#include "box_geometry.h"
#include "chain/output_item.h"
#include "chain/zel_node.h"
#include "framework/messenger.h"
#include "values/var.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace fw {
class LinkFreeFolder;
class MapFrame;
}  // namespace fw

// Writes the dense point cloud as 3D Tiles: per frame a folder named by the frame id with
// five ".pnts" levels and a "tileset.json" placing them by the frame's pose, and a root
// "tileset.json" over all frames, rewritten after each one. Every file is replaced
// atomically, the levels first and the root last, so a reader (or a killed run) only ever
// sees a root whose every reference loads.
//
// Points arrive through OnPointCloud: from the frame handler directly, or on the topic
// "sbt.out.pcd". The product is reported as the record "pointcloud_01".
class PointCloudTiles : public zel::Node {
 public:
  static constexpr size_t kMinPoints = 100;  // frames with fewer points are not written

  // Creates the output folder when needed, never through a link. When it cannot, the node
  // stays inert: it logs why, subscribes to nothing and reports its record failed.
  PointCloudTiles(const std::string& location, zel::Node* parent);
  ~PointCloudTiles() override;

  // Payload: [frame, positions relative to the frame's pose (pi::Point3_<float>), colours
  // (pi::Point3_<unsigned char>, red, green, blue)], at least one colour per position.
  // Never throws: a frame that cannot be read or written is logged with its id and skipped.
  void OnPointCloud(const sv::Var& payload);

  // The axis-aligned box holding both boxes (each may be rotated).
  static TileBox mergeBoundingBox(const TileBox& a, const TileBox& b);

  bool isInert() const { return inert_; }

 private:
  struct FrameFiles;
  void writeFrame(const std::shared_ptr<fw::MapFrame>& frame,
                  std::vector<pi::Point3_<float>> positions,
                  std::vector<pi::Point3_<unsigned char>> colours);
  // The .pnts bytes of every level into levelBytes_; false (logged) when one is too large.
  bool encodeLevels(const std::string& id, const std::vector<pi::Point3_<float>>& positions,
                    const std::vector<pi::Point3_<unsigned char>>& colours);
  // The frame's folder with its level files and its tileset.json; false when one is missing.
  bool writeFrameFolder(const std::string& id, const TileBox& local, const TileMatrix& transform);
  // Enters (or replaces) the frame's child in the root document and writes it; the root
  // changes in memory only once its file is written.
  bool addToRoot(uint64_t frameId, const TileBox& world);
  bool writeFile(const fw::LinkFreeFolder& folder, const std::string& name,
                 const std::string& bytes);
  void failRecord();
  void refreshRecord();

  std::string location_;
  bool inert_ = true;
  std::mutex mutex_;  // one frame at a time, whichever thread delivers it
  sv::Var root_;      // the root document as last written
  std::optional<TileBox> rootBox_;
  std::vector<sv::Var> entries_;             // root children, in first-written order
  std::map<uint64_t, size_t> entryOfFrame_;  // frame id -> index in entries_
  std::shared_ptr<zel::Tileset3D> record_;
  uint64_t framesNotWritten_ = 0;
  std::vector<std::string> levelBytes_;  // reused, so a frame's files take no fresh pages
  fw::Subscriber subscriber_;            // last: shut down first, before the state above goes
};
