#include "chain/output_item_json.h"
#include "framework/config_store.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/flight_products_for_tests.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "src/TerrainFusion/src/truth_flight_for_tests.h"
#include "testsupport/temp_dir.h"
#include "tiles/mbtiles_test_support.h"
#include "tiles/png_codec.h"
#include "tiles/tile_blobs.h"
#include "tools/geo_frame.h"
#include "tools/marker_finder.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

namespace fs = std::filesystem;

namespace {

using tftest::fileBytes;
using tftest::fuseFlight;
using tftest::Key;
using tftest::latLonOf;
using tftest::LogCapture;
using tftest::pixelOf;
using tftest::Products;
using tftest::readProducts;
using tftest::RunOptions;
using tftest::RunResult;

class FlightProducts : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    images_ = new vmtest::TempDir;
    flight_ = new tftest::TruthFlight(tftest::TruthFlightOptions(), images_->path());
    files_ = new vmtest::TempDir;
    log_ = new LogCapture;
    fileRun_ = new RunResult(fuseFlight(*flight_, files_->path(), RunOptions()));
    generated_ = log_->linesWith("Generating Tiles: ").size();
    delete log_;
  }
  static void TearDownTestSuite() {
    delete fileRun_;
    delete files_;
    delete flight_;
    delete images_;
  }

  // The finest zoom's tiles as one image (BGRA, or float heights), with its origin tile.
  static cv::Mat finestMosaic(const std::map<Key, cv::Mat>& tiles, int zoom, int side, int type,
                              cv::Point* origin) {
    int x0 = INT32_MAX, y0 = INT32_MAX, x1 = INT32_MIN, y1 = INT32_MIN;
    for (const auto& [key, tile] : tiles) {
      if (std::get<0>(key) != zoom) continue;
      x0 = std::min(x0, std::get<1>(key)), x1 = std::max(x1, std::get<1>(key));
      y0 = std::min(y0, std::get<2>(key)), y1 = std::max(y1, std::get<2>(key));
    }
    *origin = {x0, y0};
    cv::Mat mosaic((y1 - y0 + 1) * side, (x1 - x0 + 1) * side, type,
                   cv::Scalar::all(type == CV_32FC1 ? TerrainFusion::kNoHeight : 0));
    for (const auto& [key, tile] : tiles) {
      if (std::get<0>(key) != zoom || tile.size() != cv::Size(side, side)) continue;
      tile.copyTo(mosaic(
          cv::Rect((std::get<1>(key) - x0) * side, (std::get<2>(key) - y0) * side, side, side)));
    }
    return mosaic;
  }

  // Truth raster coordinates of a grid of `step` pixels from tile `origin`, sampled at
  // `offset` (in steps) into each cell: a DOM pixel shows the ground at its top-left corner,
  // a height cell the highest point of its area.
  struct TruthGrid {
    cv::Mat mapX, mapY;
  };
  static TruthGrid truthGrid(cv::Size size, cv::Point origin, int zoom, int step, double offset) {
    const auto& o = flight_->scene().options();
    TruthGrid g{cv::Mat(size, CV_32FC1), cv::Mat(size, CV_32FC1)};
    const double altitude = flight_->takeOff()[2];
    for (int r = 0; r < size.height; ++r) {
      for (int c = 0; c < size.width; ++c) {
        const cv::Vec2d ll = latLonOf(origin.x * 256.0 + (c + offset) * step,
                                      origin.y * 256.0 + (r + offset) * step, zoom);
        const cv::Vec3d enu = flight_->enuOf(ll[0], ll[1], altitude);
        g.mapX.at<float>(r, c) = float((enu[0] - o.east_min) / o.texel - 0.5);
        g.mapY.at<float>(r, c) = float((o.north_max - enu[1]) / o.texel - 0.5);
      }
    }
    return g;
  }
  // Cells within `metres` of a wall (a height step of more than half a metre).
  static cv::Mat nearWalls(double metres) {
    const cv::Mat heights = flight_->scene().heightMap();
    cv::Mat hi, lo, wall;
    cv::dilate(heights, hi, cv::Mat());
    cv::erode(heights, lo, cv::Mat());
    wall = (hi - lo) > 0.5;
    const int r = int(std::ceil(metres / flight_->scene().options().texel));
    cv::dilate(wall, wall, cv::getStructuringElement(cv::MORPH_ELLIPSE, {2 * r + 1, 2 * r + 1}));
    return wall;
  }

  static vmtest::TempDir* images_;
  static tftest::TruthFlight* flight_;
  static vmtest::TempDir* files_;
  static LogCapture* log_;
  static RunResult* fileRun_;
  static size_t generated_;
};
vmtest::TempDir* FlightProducts::images_ = nullptr;
tftest::TruthFlight* FlightProducts::flight_ = nullptr;
vmtest::TempDir* FlightProducts::files_ = nullptr;
LogCapture* FlightProducts::log_ = nullptr;
RunResult* FlightProducts::fileRun_ = nullptr;
size_t FlightProducts::generated_ = 0;

TEST_F(FlightProducts, EveryZoomHoldsExactlyTheParentsInBothStorageModes) {
  const RunResult& files = *fileRun_;
  // The node went right after the last point cloud was queued; every frame was still tiled.
  EXPECT_EQ(generated_, flight_->size());
  const int z = files.zoom;
  ASSERT_GE(z, 6);
  for (const auto* tiles : {&files.products.dom, &files.products.dsm}) {
    std::set<Key> finer;
    for (const auto& t : *tiles)
      if (std::get<0>(t.first) == z) finer.insert(t.first);
    ASSERT_FALSE(finer.empty());
    for (int k = 1; k <= 5; ++k) {
      std::set<Key> parents, stored;
      for (const auto& [fz, fx, fy] : finer) parents.insert({fz - 1, fx >> 1, fy >> 1});
      for (const auto& t : *tiles)
        if (std::get<0>(t.first) == z - k) stored.insert(t.first);
      EXPECT_EQ(stored, parents) << "zoom " << z - k;
      finer = stored;
    }
    for (const auto& t : *tiles) EXPECT_GE(std::get<0>(t.first), z - 5);
  }

  vmtest::TempDir mbtilesWork;
  RunOptions mbtiles;
  mbtiles.storage = 2;
  mbtiles.waitThenRecords = true;
  const RunResult db = fuseFlight(*flight_, mbtilesWork.path(), mbtiles);
  EXPECT_EQ(db.products.countPerZoom(db.products.dom),
            files.products.countPerZoom(files.products.dom));
  EXPECT_EQ(db.products.countPerZoom(db.products.dsm),
            files.products.countPerZoom(files.products.dsm));

  // The records: finest tile box of the store, zooms down to the lowest written.
  int x0 = INT32_MAX, y0 = INT32_MAX, x1 = INT32_MIN, y1 = INT32_MIN;
  for (const auto& t : db.products.dom) {
    if (std::get<0>(t.first) != z) continue;
    x0 = std::min(x0, std::get<1>(t.first)), x1 = std::max(x1, std::get<1>(t.first));
    y0 = std::min(y0, std::get<2>(t.first)), y1 = std::max(y1, std::get<2>(t.first));
  }
  ASSERT_EQ(db.records.size(), 2u);
  for (const auto& r : db.records) {
    const bool dom = r["id"] == "dom_01";
    EXPECT_TRUE(dom || r["id"] == "dsm_01");
    EXPECT_EQ(r["tile_size"], nlohmann::json({dom ? 256 : 64, dom ? 256 : 64}));
    EXPECT_EQ(r["tile_format"], dom ? "png" : "tiff");
    EXPECT_EQ(r["zooms"], nlohmann::json({z, z - 5}));
    EXPECT_EQ(r["geometry"], nlohmann::json({x0, y0, x1, y1}));
    EXPECT_EQ(r["state"], zel::kOutputInProgress);
  }
}

TEST_F(FlightProducts, LowerZoomsAreTheReductionOfTheirChildren) {
  const auto& dom = fileRun_->products.dom;
  const int z = fileRun_->zoom;
  int checked = 0;
  for (const auto& [key, parent] : dom) {
    const auto [pz, px, py] = key;
    if (pz != z - 1) continue;
    cv::Mat children(512, 512, CV_8UC3, cv::Scalar::all(0));
    for (int j = 0; j < 2; ++j) {
      for (int i = 0; i < 2; ++i) {
        const auto child = dom.find({z, 2 * px + i, 2 * py + j});
        if (child != dom.end())
          cv::cvtColor(child->second, children(cv::Rect(256 * i, 256 * j, 256, 256)),
                       cv::COLOR_BGRA2BGR);
      }
    }
    cv::Mat reduced, parentBgr, diff;
    cv::pyrDown(children, reduced);
    cv::cvtColor(parent, parentBgr, cv::COLOR_BGRA2BGR);
    cv::absdiff(reduced, parentBgr, diff);
    cv::Mat alpha;
    cv::extractChannel(parent, alpha, 3);
    ASSERT_GT(cv::countNonZero(alpha), 0);
    const cv::Scalar mean = cv::mean(diff, alpha);
    EXPECT_LE((mean[0] + mean[1] + mean[2]) / 3.0, 2.0) << px << "," << py;
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

// Normalised cross-correlation of two grey images over `valid`, both slightly smoothed: the
// DOM samples frame pixels without filtering.
double smoothedCorrelation(const cv::Mat& grey, const cv::Mat& truthGrey, const cv::Mat& valid) {
  cv::Mat a, b;
  cv::GaussianBlur(grey, a, cv::Size(), 0.7);
  cv::GaussianBlur(truthGrey, b, cv::Size(), 0.7);
  a.convertTo(a, CV_64F);
  b.convertTo(b, CV_64F);
  a -= cv::mean(a, valid)[0];
  b -= cv::mean(b, valid)[0];
  a.setTo(0, ~valid);
  b.setTo(0, ~valid);
  return a.dot(b) / std::sqrt(a.dot(a) * b.dot(b));
}

// The grey steps to the right and down from every pixel of `inData` whose neighbours there
// are in it too, summed across tile borders and inside tiles.
struct GreySteps {
  double border = 0, inner = 0;
  int borderCount = 0, innerCount = 0;
};
GreySteps greySteps(const cv::Mat& grey, const cv::Mat& inData) {
  GreySteps s;
  for (int r = 0; r + 1 < grey.rows; ++r) {
    for (int c = 0; c + 1 < grey.cols; ++c) {
      if (!inData.at<uint8_t>(r, c) || !inData.at<uint8_t>(r, c + 1) ||
          !inData.at<uint8_t>(r + 1, c))
        continue;
      const double dx = std::abs(grey.at<uint8_t>(r, c + 1) - grey.at<uint8_t>(r, c));
      const double dy = std::abs(grey.at<uint8_t>(r + 1, c) - grey.at<uint8_t>(r, c));
      (c % 256 == 255 ? s.border : s.inner) += dx;
      ++(c % 256 == 255 ? s.borderCount : s.innerCount);
      (r % 256 == 255 ? s.border : s.inner) += dy;
      ++(r % 256 == 255 ? s.borderCount : s.innerCount);
    }
  }
  return s;
}

TEST_F(FlightProducts, OrthophotoMatchesTheTruthWithoutSeams) {
  const int z = fileRun_->zoom;
  cv::Point origin;
  const cv::Mat mosaic = finestMosaic(fileRun_->products.dom, z, 256, CV_8UC4, &origin);
  const TruthGrid grid = truthGrid(mosaic.size(), origin, z, 1, 0.0);
  const auto& o = flight_->scene().options();
  const double metresPerPixel =
      156543.03392 * std::cos(flight_->takeOff()[0] * M_PI / 180.0) / std::pow(2.0, z);
  cv::Mat truth, truthGrey, grey, alpha, walls;
  const double sigma = 0.5 * metresPerPixel / o.texel;
  cv::GaussianBlur(flight_->scene().orthophoto(), truth, cv::Size(), sigma);
  cv::remap(truth, truth, grid.mapX, grid.mapY, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
  cv::remap(nearWalls(1.0), walls, grid.mapX, grid.mapY, cv::INTER_NEAREST, cv::BORDER_CONSTANT,
            cv::Scalar(255));
  cv::cvtColor(truth, truthGrey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(mosaic, grey, cv::COLOR_BGRA2GRAY);
  cv::extractChannel(mosaic, alpha, 3);
  const cv::Mat valid = (alpha > 0) & (walls == 0);
  ASSERT_GT(cv::countNonZero(valid), 10000);
  EXPECT_GE(smoothedCorrelation(grey, truthGrey, valid), 0.85);

  // Survey markers where the truth puts them.
  const cv::Vec3d t = flight_->takeOff();
  const cv::Matx33d ecefFromEnu = flight::ecefFromEnu(t[0], t[1]);
  const cv::Vec3d ecef0 = flight::ecefFromGeodetic(t[0], t[1], t[2]);
  cv::Mat bgr;
  cv::cvtColor(mosaic, bgr, cv::COLOR_BGRA2BGR);
  const double discPixels = 0.6 / metresPerPixel;
  int found = 0;
  for (const cv::Vec3d& marker : flight_->scene().markers()) {
    const cv::Vec3d g = flight::geodeticFromEcef(ecef0 + ecefFromEnu * marker);
    const cv::Point2d p = pixelOf(g[0], g[1], z) - cv::Point2d(origin.x * 256.0, origin.y * 256.0);
    const int m = 12;
    if (p.x < m || p.y < m || p.x >= mosaic.cols - m || p.y >= mosaic.rows - m) continue;
    if (cv::countNonZero(alpha(cv::Rect(int(p.x) - m, int(p.y) - m, 2 * m, 2 * m))) < 4 * m * m)
      continue;
    cv::Point2d centre;
    ASSERT_TRUE(flight::findMarkerCentre(bgr, p, 2.0 * discPixels, &centre)) << p;
    EXPECT_LE(cv::norm(centre - p), 2.0) << p;
    ++found;
  }
  EXPECT_GT(found, 0);

  // Seams: the grey steps across tile borders are no steeper than inside the tiles (away
  // from walls, the edge of the data and the scene's own sharp edges, such as roof rims and
  // road lines, whose place in the DOM follows the surface model, not the tiling).
  cv::Mat inData, truthX, truthY, truthSlope;
  cv::erode(valid, inData, cv::Mat(), cv::Point(-1, -1), 2);
  cv::Sobel(truthGrey, truthX, CV_32F, 1, 0, 1, 0.5);
  cv::Sobel(truthGrey, truthY, CV_32F, 0, 1, 1, 0.5);
  cv::magnitude(truthX, truthY, truthSlope);
  cv::dilate(truthSlope, truthSlope, cv::Mat::ones(5, 5, CV_8U));
  inData &= truthSlope < 12.0f;
  const GreySteps steps = greySteps(grey, inData);
  ASSERT_GT(steps.borderCount, 100);
  EXPECT_LE(steps.border / steps.borderCount, 1.15 * steps.inner / steps.innerCount);
}

TEST_F(FlightProducts, SurfaceModelMatchesTheTruth) {
  const int z = fileRun_->zoom;
  cv::Point origin;
  const cv::Mat dsm = finestMosaic(fileRun_->products.dsm, z, 64, CV_32FC1, &origin);
  const TruthGrid grid = truthGrid(dsm.size(), origin, z, 4, 0.5);
  cv::Mat truth, walls, inside;
  cv::remap(flight_->scene().heightMap(), truth, grid.mapX, grid.mapY, cv::INTER_LINEAR);
  cv::remap(nearWalls(2.0), walls, grid.mapX, grid.mapY, cv::INTER_NEAREST, cv::BORDER_CONSTANT,
            cv::Scalar(255));
  // Footprints shrunk by 5 m.
  const auto& o = flight_->scene().options();
  cv::Mat footprints(flight_->scene().heightMap().size(), CV_8UC1, cv::Scalar(0));
  for (size_t i = 0; i < flight_->size(); ++i) {
    std::vector<cv::Point> corners;
    for (const auto& p : flight_->footprint(i))
      corners.emplace_back(int((p.x - o.east_min) / o.texel), int((o.north_max - p.y) / o.texel));
    if (corners.size() == 4) cv::fillConvexPoly(footprints, corners, cv::Scalar(255));
  }
  cv::Mat distance;
  cv::distanceTransform(footprints, distance, cv::DIST_L2, 3);
  cv::remap(distance, inside, grid.mapX, grid.mapY, cv::INTER_NEAREST);
  inside = inside >= 5.0 / o.texel;

  std::vector<double> errors;
  int insideCells = 0, insideWithData = 0;
  const double takeOff = flight_->takeOff()[2];
  for (int r = 0; r < dsm.rows; ++r) {
    for (int c = 0; c < dsm.cols; ++c) {
      const float h = dsm.at<float>(r, c);
      const bool data = h > -1e8f;
      if (inside.at<uint8_t>(r, c)) {
        ++insideCells;
        insideWithData += data;
      }
      if (data && !walls.at<uint8_t>(r, c))
        errors.push_back(std::abs(h - takeOff - truth.at<float>(r, c)));
    }
  }
  ASSERT_GT(insideCells, 100);
  EXPECT_GE(double(insideWithData) / insideCells, 0.95);
  ASSERT_GT(errors.size(), 100u);
  std::sort(errors.begin(), errors.end());
  EXPECT_LE(errors[errors.size() / 2], 0.25);
  EXPECT_LE(errors[errors.size() * 9 / 10], 0.6);
}

}  // namespace

namespace {

RunOptions oneWorker(int cache) {
  RunOptions o;
  o.threads = 1;
  o.cache = cache;
  return o;
}

TEST_F(FlightProducts, CacheSizeDoesNotChangeTheProducts) {
  vmtest::TempDir small, large;
  const Products a = fuseFlight(*flight_, small.path(), oneWorker(16)).products;
  const Products b = fuseFlight(*flight_, large.path(), oneWorker(4096)).products;
  for (const auto& [tilesA, tilesB] :
       {std::make_pair(&a.dom, &b.dom), std::make_pair(&a.dsm, &b.dsm)}) {
    ASSERT_EQ(tilesA->size(), tilesB->size());
    for (const auto& [key, tile] : *tilesA) {
      const auto other = tilesB->find(key);
      ASSERT_NE(other, tilesB->end());
      ASSERT_EQ(tile.size(), other->second.size());
      EXPECT_EQ(cv::norm(tile, other->second, cv::NORM_INF), 0.0)
          << std::get<0>(key) << "/" << std::get<1>(key) << "/" << std::get<2>(key);
    }
  }
}

TEST_F(FlightProducts, StitchingKeepsTheCacheSmallByAge) {
  vmtest::TempDir work;
  LogCapture log;
  // One worker: the tiles a trim may evict then follow from the frame order alone (with
  // two, frames running side by side keep re-stamping the same tiles).
  RunOptions o = oneWorker(1000);
  o.renderMode = 2;
  const Products p = fuseFlight(*flight_, work.path(), o).products;
  EXPECT_FALSE(p.dom.empty());
  unsigned removed = 0, largest = 0;
  for (const auto& line : log.linesWith("Remove cache num: ")) {
    unsigned r = 0, left = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "Remove cache num: %u remain cache num: %u", &r, &left), 2);
    removed += r;
    largest = std::max(largest, left);
  }
  EXPECT_GT(removed, 0u);
  EXPECT_LT(largest, 100u);  // of a capacity of 1000
}

// A frame whose image path cannot be asked for.
class PathlessFrame : public MapFrame {
 public:
  using MapFrame::MapFrame;
  void call(const std::string& command, void* arg) override {
    if (command == "GetImagePath") throw std::runtime_error("image store unreachable");
    MapFrame::call(command, arg);
  }
};

TEST_F(FlightProducts, FailingFramesAreLoggedReleasedAndLaterFramesGoOn) {
  vmtest::TempDir work;
  LogCapture log;
  auto node = tftest::makeNode(work.path(), {{"specific", {{"terrainfusion.threads", 0}}}});
  ASSERT_TRUE(node->ready());
  EXPECT_TRUE(node->fuseFrame(flight_->frame(2).frame));  // its key points, before any points
  const auto send = [&](sv::Var message) { node->call("point_cloud", &message); };
  send(tftest::TruthFlight::pointCloudMessage(flight_->frame(0)));
  const tftest::TruthFrame model = flight_->frame(1);
  auto pathless = std::make_shared<PathlessFrame>(
      99, 0.0, fw::GImage(cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(7))), "x.png",
      model.frame->getCamera(0), std::vector<double>{}, 1);
  pathless->setPose(model.frame->getPoseSE3());
  send(sv::Var({sv::Var(std::shared_ptr<fw::MapFrame>(pathless)), sv::Var(model.points)}));
  send(sv::Var(
      {sv::Var(std::shared_ptr<fw::MapFrame>(pathless)), sv::Var(std::string("no points"))}));
  send(sv::Var({sv::Var(std::shared_ptr<fw::MapFrame>()), sv::Var(model.points)}));
  send(tftest::TruthFlight::pointCloudMessage(flight_->frame(1)));
  EXPECT_TRUE(node->fuseFrame(flight_->frame(2).frame));  // its key points alone
  node.reset();
  EXPECT_FALSE(log.linesWith("frame 99 failed: image store unreachable").empty());
  EXPECT_EQ(log.linesWith("dropped frame 99").size(), 1u);
  EXPECT_EQ(log.linesWith("dropped a message without a frame").size(), 1u);
  EXPECT_TRUE(pathless->getImage(0).empty());
  EXPECT_EQ(log.linesWith("Generating Tiles: ").size(), 4u);  // 2 alone, 0, 1, then 2 again
}

// Ready rasters arrive on a thread of their own while four workers fuse the flight through
// a cache of 16 tiles.
TEST_F(FlightProducts, ReadyRastersFromAnotherThreadWhileWorkersFuse) {
  vmtest::TempDir work;
  LogCapture log;
  auto node = tftest::makeNode(
      work.path(),
      {{"specific", {{"terrainfusion.threads", 4}, {"terrainfusion.cache_size", 16}}}});
  ASSERT_TRUE(node->ready());
  const int z = fileRun_->zoom;
  ASSERT_GE(z, 6);
  const auto first = fileRun_->products.dom.lower_bound({z, 0, 0})->first;
  const auto readyMessage = [&](unsigned id, int zoom) {
    cv::Mat weight(256, 256, CV_8UC1);
    for (int c = 0; c < 256; ++c) weight.col(c).setTo(1 + (id * 37 + c) % 255);
    return sv::Var({sv::Var(id), sv::Var(pi::Point2ll(std::get<1>(first), std::get<2>(first))),
                    sv::Var(zoom), sv::Var(z - zoom), sv::Var(flight_->frame(0).frame),
                    sv::Var(cv::Mat(64, 64, CV_32FC1, cv::Scalar(id - 60.0f))),
                    sv::Var(cv::Mat(256, 256, CV_8UC3, cv::Scalar::all(id - 10))),
                    sv::Var(weight)});
  };
  int& saveLocal = *fw::Var::instance().GetInt("pointsfusion.save_local", 0);
  saveLocal = 1;  // debug images into the work folder
  std::thread ready([&] {
    for (unsigned id = 101; id <= 108; ++id) {
      sv::Var message = readyMessage(id, std::get<0>(first));
      node->call("point_cloud_with_dsmdom", &message);
    }
  });
  for (size_t i = 0; i < flight_->size(); ++i) {
    sv::Var message = tftest::TruthFlight::pointCloudMessage(flight_->frame(i));
    node->call("point_cloud", &message);
  }
  ready.join();
  sv::Var below = readyMessage(109, -1);
  node->call("point_cloud_with_dsmdom", &below);
  node.reset();
  saveLocal = 0;
  EXPECT_EQ(log.linesWith("Generating Tiles: ").size(), flight_->size() + 8);
  const cv::Mat flatDem = cv::imread((work.path() / "101_dem.jpg").string(), cv::IMREAD_GRAYSCALE);
  ASSERT_FALSE(flatDem.empty());
  EXPECT_EQ(cv::countNonZero(flatDem), 0);  // a flat DSM is written black
  EXPECT_TRUE(fs::exists(work.path() / "101_dom.jpg"));
  EXPECT_EQ(log.linesWith("Tile ID: 109").size(), 1u);
  EXPECT_FALSE(readProducts(work.path(), 1).dom.empty());
}

}  // namespace
