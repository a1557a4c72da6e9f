#include "framework/run_tally.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/flight_products_for_tests.h"
#include "src/TerrainFusion/src/truth_flight_for_tests.h"
#include "testsupport/temp_dir.h"
#include "tools/geo_frame.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace {

using tftest::Key;
using tftest::Products;
using tftest::readProducts;

// Every stored DOM and DSM file of a file store, by its path under the tiles folder.
std::map<std::string, std::string> storedFiles(const fs::path& work) {
  std::map<std::string, std::string> files;
  for (const char* folder : {"dom", "dsm"}) {
    for (const auto& entry : fs::recursive_directory_iterator(work / "tiles" / folder)) {
      if (entry.is_regular_file())
        files[fs::relative(entry.path(), work).string()] = tftest::fileBytes(entry.path());
    }
  }
  return files;
}

nlohmann::json nodeSettings(int threads, int renderMode = 3) {
  return {{"specific",
           {{"terrainfusion.threads", threads}, {"terrainfusion.render_mode", renderMode}}}};
}

// Waits for the node's workers (the progress command says 0 once none runs).
void drain(TerrainFusion& node) {
  for (double busy = 1.0; busy > 0.0;) node.call("TerrainFusion_Progress", &busy);
}

class TerrainProducts : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    images_ = new vmtest::TempDir;
    flight_ = new tftest::TruthFlight(tftest::TruthFlightOptions(), images_->path());
  }
  static void TearDownTestSuite() {
    delete flight_;
    delete images_;
  }

  // The flight's dense points, and the sparse map points of every third frame, through a
  // node of `threads` workers.
  static std::map<std::string, std::string> mapFlight(const fs::path& work, int threads,
                                                      int renderMode) {
    auto node = tftest::makeNode(work, nodeSettings(threads, renderMode));
    for (size_t i = 0; i < flight_->size(); ++i) {
      sv::Var message = tftest::TruthFlight::pointCloudMessage(flight_->frame(i));
      node->call("point_cloud", &message);
      if (i % 3 == 0) node->fuseFrame(flight_->frame(i).frame);
    }
    node.reset();
    return storedFiles(work);
  }

  static vmtest::TempDir* images_;
  static tftest::TruthFlight* flight_;
};
vmtest::TempDir* TerrainProducts::images_ = nullptr;
tftest::TruthFlight* TerrainProducts::flight_ = nullptr;

// Four workers take the frames in whatever order they get to them; the tiles are those of
// one worker, byte for byte, in both render modes.
TEST_F(TerrainProducts, SameTilesWhateverTheWorkersTiming) {
  for (const int mode : {3, 2}) {
    SCOPED_TRACE(mode);
    vmtest::TempDir one;
    const auto expected = mapFlight(one.path(), 1, mode);
    ASSERT_GT(expected.size(), 10u);
    for (int run = 0; run < 2; ++run) {
      vmtest::TempDir work;
      const auto got = mapFlight(work.path(), 4, mode);
      ASSERT_EQ(got.size(), expected.size()) << "run " << run;
      for (const auto& [path, bytes] : expected) {
        const auto other = got.find(path);
        ASSERT_NE(other, got.end()) << path;
        EXPECT_TRUE(other->second == bytes) << "run " << run << ": " << path;
      }
    }
  }
}

TEST_F(TerrainProducts, CountsMergedAndFailedFramesAndTheTilesWritten) {
  for (const int storage : {1, 2}) {
    SCOPED_TRACE(storage);
    fw::RunTally& tally = fw::RunTally::instance();
    tally.reset();
    vmtest::TempDir work;
    zel::Chain root("root", nullptr);
    {
      // A small cache: tiles leave it (and are written) while the run goes on, and again at
      // the end; each counts once.
      auto node = tftest::makeNode(
          work.path(),
          {{"dom", {{"tiling", {{"storage", storage}}}}},
           {"specific", {{"terrainfusion.threads", 2}, {"terrainfusion.cache_size", 24}}}},
          &root);
      for (size_t i = 0; i < flight_->size(); ++i) {
        sv::Var message = tftest::TruthFlight::pointCloudMessage(flight_->frame(i));
        node->call("point_cloud", &message);
      }
      tftest::TruthFrame lost = flight_->frame(0);
      std::string missing = (work.path() / "no_such_image.png").string();
      lost.frame->call("SetImagePath", &missing);
      sv::Var message = tftest::TruthFlight::pointCloudMessage(lost);
      node->call("point_cloud", &message);
      drain(*node);
    }
    const Products products = readProducts(work.path(), storage);
    EXPECT_EQ(tally.count(fw::tally::kTerrainFrames), static_cast<long long>(flight_->size()));
    EXPECT_EQ(tally.failures(fw::tally::kTerrainFrames), 1);
    EXPECT_NE(tally.summary().find("image unreadable"), std::string::npos) << tally.summary();
    EXPECT_EQ(tally.count(fw::tally::kDomTiles), static_cast<long long>(products.dom.size()));
    EXPECT_EQ(tally.count(fw::tally::kDsmTiles), static_cast<long long>(products.dsm.size()));
    root.visitOutputs([](const std::shared_ptr<zel::OutputItem>& record) {
      EXPECT_NE(record->state, zel::kOutputFailed) << record->id;
    });
  }
}

TEST_F(TerrainProducts, RecordsEndFailedWhenEveryFrameFailed) {
  fw::RunTally::instance().reset();
  vmtest::TempDir work;
  zel::Chain root("root", nullptr);
  {
    auto node = tftest::makeNode(work.path(), nodeSettings(2), &root);
    for (size_t i = 0; i < 2; ++i) {
      tftest::TruthFrame frame = flight_->frame(i);
      std::string missing = (work.path() / "gone.png").string();
      frame.frame->call("SetImagePath", &missing);
      sv::Var message = tftest::TruthFlight::pointCloudMessage(frame);
      node->call("point_cloud", &message);
    }
  }
  int failed = 0;
  root.visitOutputs([&](const std::shared_ptr<zel::OutputItem>& record) {
    failed += record->state == zel::kOutputFailed;
  });
  EXPECT_EQ(failed, 2);  // DOM and DSM
  EXPECT_EQ(fw::RunTally::instance().failures(fw::tally::kTerrainFrames), 2);
  EXPECT_EQ(fw::RunTally::instance().count(fw::tally::kDomTiles), 0);
}

// A frame whose dense points cover only the middle of its image (the overlap with its
// neighbour) still gives the DOM of all the ground its image sees: the patch ends at the
// image's edge, not at the border of its points' tiles.
TEST_F(TerrainProducts, FrameDomReachesWhereItsImageSeesNotWhereItsTilesEnd) {
  int checked = 0;
  for (size_t i = 0; i < flight_->size(); ++i) {
    SCOPED_TRACE(i);
    tftest::TruthFrame frame = flight_->frame(i);
    const std::vector<cv::Point2d>& footprint = flight_->footprint(i);
    ASSERT_EQ(footprint.size(), 4u);
    cv::Point2d centre(0, 0);
    for (const auto& c : footprint) centre += c * 0.25;
    std::vector<pi::Point3d> middle;
    for (const pi::Point3d& p : frame.points) {
      const cv::Vec3d g = flight::geodeticFromEcef({p.x, p.y, p.z});
      const cv::Vec3d enu = flight_->enuOf(g[0], g[1], g[2]);
      if (std::hypot(enu[0] - centre.x, enu[1] - centre.y) < 8.0) middle.push_back(p);
    }
    ASSERT_GT(middle.size(), 100u);
    frame.points = middle;
    vmtest::TempDir work;
    {
      auto node = tftest::makeNode(work.path(), nodeSettings(1));
      sv::Var message = tftest::TruthFlight::pointCloudMessage(frame);
      node->call("point_cloud", &message);
    }
    const Products products = readProducts(work.path(), 1);
    int zoom = 0;
    for (const auto& t : products.dom) zoom = std::max(zoom, std::get<0>(t.first));
    // The footprint, shrunk by a metre, in pixels of the finest zoom.
    const cv::Vec3d o = flight_->takeOff();
    const cv::Matx33d ecefFromEnu = flight::ecefFromEnu(o[0], o[1]);
    const cv::Vec3d ecef0 = flight::ecefFromGeodetic(o[0], o[1], o[2]);
    std::vector<cv::Point> polygon;
    for (const auto& c : footprint) {
      const cv::Point2d inward = c + (centre - c) * (1.0 / cv::norm(centre - c));
      const cv::Vec3d g =
          flight::geodeticFromEcef(ecef0 + ecefFromEnu * cv::Vec3d(inward.x, inward.y, 0));
      const cv::Point2d p = tftest::pixelOf(g[0], g[1], zoom);
      polygon.emplace_back(int(std::lround(p.x)), int(std::lround(p.y)));
    }
    const cv::Rect box = cv::boundingRect(polygon);
    cv::Mat inside(box.size(), CV_8UC1, cv::Scalar(0));
    std::vector<cv::Point> local;
    for (const auto& p : polygon) local.push_back(p - box.tl());
    cv::fillConvexPoly(inside, local, cv::Scalar(255));
    int covered = 0, total = 0;
    for (int r = 0; r < box.height; ++r) {
      for (int c = 0; c < box.width; ++c) {
        if (!inside.at<uint8_t>(r, c)) continue;
        const int px = box.x + c, py = box.y + r;
        const auto tile = products.dom.find({zoom, px / 256, py / 256});
        ++total;
        covered +=
            tile != products.dom.end() && tile->second.at<cv::Vec4b>(py % 256, px % 256)[3] > 0;
      }
    }
    ASSERT_GT(total, 1000);
    // Heights beyond the points are guessed, so the edge may fall short of the true one by
    // a little; but not by whole tile parts.
    EXPECT_GE(double(covered) / total, 0.95) << covered << " of " << total;
    // The patch's edge: pixels with data next to pixels without. Lying on tile borders no
    // more than by chance (about 1 in 64 here) means no straight cut along them.
    int edge = 0, onBorder = 0;
    for (const auto& [key, tile] : products.dom) {
      if (std::get<0>(key) != zoom) continue;
      const auto alphaAt = [&](int px, int py) {
        const auto t = products.dom.find({zoom, px >> 8, py >> 8});
        return t != products.dom.end() && t->second.at<cv::Vec4b>(py & 255, px & 255)[3] > 0;
      };
      for (int r = 0; r < 256; ++r) {
        for (int c = 0; c < 256; ++c) {
          const int px = std::get<1>(key) * 256 + c, py = std::get<2>(key) * 256 + r;
          if (!alphaAt(px, py)) continue;
          if (alphaAt(px + 1, py) && alphaAt(px - 1, py) && alphaAt(px, py + 1) &&
              alphaAt(px, py - 1))
            continue;
          ++edge;
          onBorder += c == 0 || c == 255 || r == 0 || r == 255;
        }
      }
    }
    ASSERT_GT(edge, 100);
    EXPECT_LE(double(onBorder) / edge, 0.05) << onBorder << " of " << edge;
    ++checked;
    if (checked == 3) break;
  }
}

// Frames of other image layouts are read as colour: a grey frame, and a 16-bit one, appear
// in the DOM (grey where grey).
TEST_F(TerrainProducts, GreyAndSixteenBitFramesAppearInTheDom) {
  const cv::Mat colour = cv::imread(
      [&] {
        std::string path;
        flight_->frame(0).frame->call("GetImagePath", &path);
        return path;
      }(),
      cv::IMREAD_UNCHANGED);
  ASSERT_EQ(colour.type(), CV_8UC3);
  cv::Mat grey, deep;
  cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
  colour.convertTo(deep, CV_16UC3, 257.0);
  for (const cv::Mat& image : {grey, deep}) {
    SCOPED_TRACE(image.type());
    vmtest::TempDir work;
    std::string path = (work.path() / "frame.png").string();
    ASSERT_TRUE(cv::imwrite(path, image));
    tftest::TruthFrame frame = flight_->frame(0);
    frame.frame->call("SetImagePath", &path);
    {
      auto node = tftest::makeNode(work.path(), nodeSettings(1));
      sv::Var message = tftest::TruthFlight::pointCloudMessage(frame);
      node->call("point_cloud", &message);
    }
    const Products products = readProducts(work.path(), 1);
    ASSERT_FALSE(products.dom.empty());
    int seen = 0, notGrey = 0;
    for (const auto& [key, tile] : products.dom) {
      for (auto it = tile.begin<cv::Vec4b>(); it != tile.end<cv::Vec4b>(); ++it) {
        if ((*it)[3] == 0) continue;
        ++seen;
        notGrey += image.channels() == 1 && ((*it)[0] != (*it)[1] || (*it)[1] != (*it)[2]);
      }
    }
    EXPECT_GT(seen, 10000);
    EXPECT_EQ(notGrey, 0);
  }
}

TEST(FrameImages, CommonLayoutsBecomeEightBitColourAndOthersAreRefused) {
  const cv::Mat bgr(2, 2, CV_8UC3, cv::Scalar(10, 20, 30));
  cv::Mat bgra, grey, greyAlpha, deep;
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  grey = cv::Mat(2, 2, CV_8UC1, cv::Scalar(77));
  cv::merge(std::vector<cv::Mat>{grey, cv::Mat(2, 2, CV_8UC1, cv::Scalar(0))}, greyAlpha);
  bgr.convertTo(deep, CV_16UC3, 257.0);
  EXPECT_EQ(bgrOf(bgra).at<cv::Vec3b>(1, 1), cv::Vec3b(10, 20, 30));
  EXPECT_EQ(bgrOf(deep).at<cv::Vec3b>(1, 1), cv::Vec3b(10, 20, 30));
  EXPECT_EQ(bgrOf(grey).at<cv::Vec3b>(0, 0), cv::Vec3b(77, 77, 77));
  EXPECT_EQ(bgrOf(greyAlpha).at<cv::Vec3b>(0, 0), cv::Vec3b(77, 77, 77));
  EXPECT_EQ(bgrOf(bgr).data, bgr.data);  // already colour: not copied
  EXPECT_TRUE(bgrOf(cv::Mat(2, 2, CV_32FC3)).empty());
  EXPECT_TRUE(bgrOf(cv::Mat()).empty());
}

// The flight moved onto the antimeridian tiles like the flight off it: the same tiles, moved by
// a whole number of tiles and taken round the map. (Before, every frame there asked for a
// raster across the whole map and had "no point on its raster".)
TEST(TerrainAcrossTheAntimeridian, TilesMatchTheSameFlightOffIt) {
  const int zoom = 19;             // the flight's zoom at its ground sampling distance
  const int shift = 32;            // tiles at that zoom: whole at 5 zooms below too
  const double across = 179.9999;  // a take-off 10 m west of the meridian
  const double off = across - shift * 360.0 / (1 << zoom);
  std::map<Key, cv::Mat> dom[2];
  for (int i = 0; i < 2; ++i) {
    vmtest::TempDir images, work;
    tftest::TruthFlightOptions options;
    options.strips = 1;
    options.longitude = i == 0 ? across : off;
    const tftest::TruthFlight flight(options, images.path());
    {
      auto node = tftest::makeNode(work.path(), nodeSettings(2));
      for (size_t f = 0; f < flight.size(); ++f) {
        sv::Var message = tftest::TruthFlight::pointCloudMessage(flight.frame(f));
        node->call("point_cloud", &message);
      }
    }
    dom[i] = readProducts(work.path(), 1).dom;
  }
  const int last = (1 << zoom) - 1;
  std::set<int> columns;
  for (const auto& [key, tile] : dom[0])
    if (std::get<0>(key) == zoom) columns.insert(std::get<1>(key));
  ASSERT_TRUE(columns.count(last) && columns.count(0)) << "the flight does not cross";
  ASSERT_EQ(dom[0].size(), dom[1].size());
  int differing = 0, pixels = 0;
  for (const auto& [key, tile] : dom[1]) {
    const auto [z, x, y] = key;
    const int moved = (x + (shift >> (zoom - z))) % (1 << z);
    const auto other = dom[0].find({z, moved, y});
    ASSERT_NE(other, dom[0].end()) << z << "/" << x << "/" << y;
    cv::Mat diff;
    cv::absdiff(tile, other->second, diff);
    pixels += int(diff.total());
    differing += cv::countNonZero(diff.reshape(1) > 2);
  }
  // Only rounding: the two flights' earth-centred coordinates differ in every digit.
  EXPECT_LE(double(differing) / pixels, 0.001) << differing << " of " << pixels;
}

}  // namespace
