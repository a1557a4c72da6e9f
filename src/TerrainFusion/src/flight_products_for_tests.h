#pragma once

// The products of a terrain node read back from its stores, and a run of the truth flight
// through a node, for the tests of the whole node.

#include "chain/output_item_json.h"
#include "framework/log.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "src/TerrainFusion/src/truth_flight_for_tests.h"
#include "tiles/mbtiles_test_support.h"
#include "tiles/png_codec.h"
#include "tiles/tile_blobs.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace tftest {

namespace fs = std::filesystem;

// Every log line of the process while it lives.
class LogCapture : public fw::LogSink {
 public:
  LogCapture() { fw::logSinks()->insert(this); }
  ~LogCapture() override { fw::logSinks()->erase(this); }
  void write(int, const char*, const char*, int, const struct tm*, const char* text,
             uint64_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(text, length);
  }
  void flush() override {}
  std::vector<std::string> linesWith(const std::string& part) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> found;
    for (const auto& l : lines_)
      if (l.find(part) != std::string::npos) found.push_back(l);
    return found;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

using Key = std::tuple<int, int, int>;  // z, x, y
struct Products {
  std::map<Key, cv::Mat> dom;  // BGRA, alpha where the tile has weight
  std::map<Key, cv::Mat> dsm;  // float heights

  std::map<int, int> countPerZoom(const std::map<Key, cv::Mat>& tiles) const {
    std::map<int, int> counts;
    for (const auto& t : tiles) ++counts[std::get<0>(t.first)];
    return counts;
  }
};

inline cv::Mat decodeDom(const std::string& bytes) {
  std::vector<uint8_t> rgba;
  uint32_t w = 0, h = 0;
  int channels = 0;
  if (decodePng(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), rgba, w, h, channels,
                4) != kPngDecoded)
    return cv::Mat();
  cv::Mat bgra;
  cv::cvtColor(cv::Mat(int(h), int(w), CV_8UC4, rgba.data()), bgra, cv::COLOR_RGBA2BGRA);
  return bgra;
}

inline cv::Mat decodeDsm(const std::string& bytes) {
  fw::GImage heights;
  if (!tile_blobs::decodeDsmTiff(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                 heights))
    return cv::Mat();
  return cv::Mat(heights).clone();
}

inline std::string fileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline Products readProducts(const fs::path& work, int storage) {
  Products p;
  const fs::path tiles = work / "tiles";
  if (storage == 1) {
    for (const auto& [folder, target, ext] :
         {std::make_tuple("dom", &p.dom, ".png"), std::make_tuple("dsm", &p.dsm, ".tiff")}) {
      for (const auto& entry : fs::recursive_directory_iterator(tiles / folder)) {
        if (entry.path().extension() != ext) continue;
        int z = 0, x = 0, y = 0;
        if (std::sscanf(entry.path().stem().c_str(), "%d_%d_%d", &z, &x, &y) != 3) continue;
        const std::string bytes = fileBytes(entry.path());
        (*target)[{z, x, y}] = std::string(folder) == "dom" ? decodeDom(bytes) : decodeDsm(bytes);
      }
    }
    return p;
  }
  for (const auto& [db, target] : {std::make_pair("dom", &p.dom), std::make_pair("dsm", &p.dsm)}) {
    const auto rows =
        mbtiles_test::query((tiles / db / (std::string(db) + ".mbtiles")).string(),
                            "SELECT zoom_level, tile_column, tile_row, tile_data FROM tiles");
    for (const auto& r : rows) {
      const int z = std::stoi(r[0]), x = std::stoi(r[1]), row = std::stoi(r[2]);
      (*target)[{z, x, (1 << z) - 1 - row}] =
          std::string(db) == "dom" ? decodeDom(r[3]) : decodeDsm(r[3]);
    }
  }
  return p;
}

struct RunOptions {
  int storage = 1;
  int threads = 2;
  int cache = 1000;
  int renderMode = 3;
  bool waitThenRecords = false;  // wait for the workers and keep the records
};

struct RunResult {
  Products products;
  int zoom = -1;
  nlohmann::json records = nlohmann::json::array();
};

// Feeds every frame of the flight as "point_cloud" and releases the node (at once, unless
// the records are wanted), then reads the stored products back.
inline RunResult fuseFlight(const tftest::TruthFlight& flight, const fs::path& work,
                            const RunOptions& options) {
  auto node = tftest::makeNode(work, {{"dom", {{"tiling", {{"storage", options.storage}}}}},
                                      {"specific",
                                       {{"terrainfusion.threads", options.threads},
                                        {"terrainfusion.cache_size", options.cache},
                                        {"terrainfusion.render_mode", options.renderMode}}}});
  RunResult result;
  if (!node->ready()) return result;
  for (size_t i = 0; i < flight.size(); ++i) {
    sv::Var message = tftest::TruthFlight::pointCloudMessage(flight.frame(i));
    node->call("point_cloud", &message);
  }
  if (options.waitThenRecords) {
    for (double busy = 1.0; busy > 0.0;) node->call("TerrainFusion_Progress", &busy);
    node->visitOutputs([&](const std::shared_ptr<zel::OutputItem>& record) {
      nlohmann::json j;
      if (writeOutputItem(record, j)) result.records.push_back(j);
    });
  }
  node.reset();
  result.products = readProducts(work, options.storage);
  // The finest zoom stored. The node's own zoom is set by a worker, which may not have got
  // to the first frame yet when the last message is queued.
  for (const auto& tile : result.products.dom)
    result.zoom = std::max(result.zoom, std::get<0>(tile.first));
  return result;
}

// Web-Mercator of the test's own: global pixel of a position and back.
inline cv::Point2d pixelOf(double lat, double lon, int zoom) {
  const double size = 256.0 * std::pow(2.0, zoom), s = std::sin(lat * M_PI / 180.0);
  return {(lon + 180.0) / 360.0 * size, (0.5 - std::log((1 + s) / (1 - s)) / (4 * M_PI)) * size};
}
inline cv::Vec2d latLonOf(double x, double y, int zoom) {
  const double size = 256.0 * std::pow(2.0, zoom);
  return {std::atan(std::sinh(M_PI * (1.0 - 2.0 * y / size))) * 180.0 / M_PI,
          x / size * 360.0 - 180.0};
}

}  // namespace tftest
