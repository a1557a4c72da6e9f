#include "tileset_documents.h"

#include <vector>

namespace tileset_documents {
namespace {

constexpr int kLevelErrorStep = 3;  // level L has error 3 L, level 0 none

sv::Var boxVolume(const TileBox& box) {
  sv::Var volume;
  volume["box"] = numbers(box.data(), box.size());
  return volume;
}

sv::Var asset() {
  sv::Var asset;
  asset["gltfUpAxis"] = sv::Var("Z");
  asset["version"] = sv::Var("1.0");
  return asset;
}

sv::Var levelTile(const TileBox& localBox, int level) {
  sv::Var tile;
  tile["geometricError"] = sv::Var(kLevelErrorStep * level);
  tile["refine"] = sv::Var("ADD");
  tile["boundingVolume"] = boxVolume(localBox);
  tile["content"]["uri"] = sv::Var(levelFileName(level));
  std::vector<sv::Var> children;
  if (level > 0) children.push_back(levelTile(localBox, level - 1));
  tile["children"] = sv::Var(std::move(children));
  return tile;
}

}  // namespace

std::string levelFileName(int level) { return std::to_string(level) + ".pnts"; }

sv::Var numbers(const double* values, size_t count) {
  return sv::Var(std::vector<double>(values, values + count));
}

sv::Var frameDocument(const TileBox& localBox, const TileMatrix& transform) {
  sv::Var doc;
  doc["asset"] = asset();
  doc["geometricError"] = sv::Var(kFrameError);
  doc["refine"] = sv::Var("ADD");
  sv::Var& root = doc["root"];
  root["boundingVolume"] = boxVolume(localBox);
  root["geometricError"] = sv::Var(kFrameError);
  root["refine"] = sv::Var("ADD");
  root["transform"] = numbers(transform.data(), transform.size());
  root["children"] = sv::Var(std::vector<sv::Var>{levelTile(localBox, kLevelCount - 1)});
  return doc;
}

sv::Var rootDocument() {
  sv::Var doc;
  doc["asset"] = asset();
  doc["geometricError"] = sv::Var(kRootError);
  doc["refine"] = sv::Var("ADD");
  sv::Var& root = doc["root"];
  root["geometricError"] = sv::Var(kRootError);
  root["refine"] = sv::Var("ADD");
  root["children"] = sv::Var(std::vector<sv::Var>());
  return doc;
}

sv::Var rootEntry(const TileBox& worldBox, uint64_t frameId) {
  sv::Var entry;
  entry["geometricError"] = sv::Var(kFrameError);
  entry["boundingVolume"] = boxVolume(worldBox);
  entry["refine"] = sv::Var("ADD");
  entry["content"]["uri"] = sv::Var("./" + std::to_string(frameId) + "/tileset.json");
  return entry;
}

}  // namespace tileset_documents
