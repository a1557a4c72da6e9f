#include "framework/frame_image_decoding.h"
#include "framework/run_tally.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/flight_products_for_tests.h"
#include "src/TerrainFusion/src/truth_flight_for_tests.h"
#include "testsupport/temp_dir.h"
#include "tools/geo_frame.h"

#include <gtest/gtest.h>

#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <map>
#include <set>
#include <system_error>

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

// A node whose worker threads cannot start, as under an address-space limit too tight for
// their stacks.
class NodeWithoutWorkers : public TerrainFusion {
 public:
  using TerrainFusion::TerrainFusion;

 protected:
  std::shared_ptr<fw::BoundedPool> makeWorkerPool(int) override {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
};

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
                                                      int renderMode, bool workersStart = true) {
    const nlohmann::json settings = nodeSettings(threads, renderMode);
    auto node = workersStart ? tftest::makeNode(work, settings)
                             : tftest::makeNode<NodeWithoutWorkers>(work, settings);
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

// Without a worker thread every frame is fused on the thread that hands it in: the same tiles,
// and every frame counted as merged.
TEST_F(TerrainProducts, FramesAreFusedInPlaceWhenNoWorkerThreadCanStart) {
  vmtest::TempDir pooled;
  const auto expected = mapFlight(pooled.path(), 1, 3);
  fw::RunTally& tally = fw::RunTally::instance();
  tally.reset();
  vmtest::TempDir work;
  EXPECT_EQ(mapFlight(work.path(), 2, 3, false), expected);
  const long long sparseFrames = (static_cast<long long>(flight_->size()) + 2) / 3;
  EXPECT_EQ(tally.count(fw::tally::kTerrainFrames),
            static_cast<long long>(flight_->size()) + sparseFrames);
  EXPECT_EQ(tally.failures(fw::tally::kTerrainFrames), 0) << tally.summary();
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

// Pixels inside `polygon` (pixels of `zoom`), and those of them the DOM tiles have data in.
void countCovered(const std::map<Key, cv::Mat>& dom, int zoom,
                  const std::vector<cv::Point>& polygon, int& covered, int& total) {
  const cv::Rect box = cv::boundingRect(polygon);
  cv::Mat inside(box.size(), CV_8UC1, cv::Scalar(0));
  std::vector<cv::Point> local;
  for (const auto& p : polygon) local.push_back(p - box.tl());
  cv::fillConvexPoly(inside, local, cv::Scalar(255));
  for (int r = 0; r < box.height; ++r) {
    for (int c = 0; c < box.width; ++c) {
      if (!inside.at<uint8_t>(r, c)) continue;
      const int px = box.x + c, py = box.y + r;
      const auto tile = dom.find({zoom, px / 256, py / 256});
      ++total;
      covered += tile != dom.end() && tile->second.at<cv::Vec4b>(py % 256, px % 256)[3] > 0;
    }
  }
}

// The DOM patch's edge at `zoom` (pixels with data next to pixels without) and how many of
// those lie on a tile's border.
void countPatchEdge(const std::map<Key, cv::Mat>& dom, int zoom, int& edge, int& onBorder) {
  const auto alphaAt = [&](int px, int py) {
    const auto t = dom.find({zoom, px >> 8, py >> 8});
    return t != dom.end() && t->second.at<cv::Vec4b>(py & 255, px & 255)[3] > 0;
  };
  for (const auto& [key, tile] : dom) {
    if (std::get<0>(key) != zoom) continue;
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
    int covered = 0, total = 0;
    countCovered(products.dom, zoom, polygon, covered, total);
    ASSERT_GT(total, 1000);
    // Heights beyond the points are guessed, so the edge may fall short of the true one by
    // a little; but not by whole tile parts.
    EXPECT_GE(double(covered) / total, 0.95) << covered << " of " << total;
    // The patch's edge: pixels with data next to pixels without. Lying on tile borders no
    // more than by chance (about 1 in 64 here) means no straight cut along them.
    int edge = 0, onBorder = 0;
    countPatchEdge(products.dom, zoom, edge, onBorder);
    ASSERT_GT(edge, 100);
    EXPECT_LE(double(onBorder) / edge, 0.05) << onBorder << " of " << edge;
    ++checked;
    if (checked == 3) break;
  }
}

// The stored tiles of the finest zoom.
std::map<Key, cv::Mat> finest(const std::map<Key, cv::Mat>& tiles) {
  int zoom = 0;
  for (const auto& t : tiles) zoom = std::max(zoom, std::get<0>(t.first));
  std::map<Key, cv::Mat> kept;
  for (const auto& t : tiles)
    if (std::get<0>(t.first) == zoom) kept.insert(t);
  return kept;
}

// The DSM outliers: a dense frame whose pose lifts and tilts its points 10 to 40 m off the
// ground an earlier frame stored puts neither spikes nor a slab into the DSM: the stored heights
// stay, and the frame's own stand only where it alone sees the ground. A frame that agrees
// with the stored ground merges exactly as it would unchecked.
TEST_F(TerrainProducts, DenseHeightsFarOffTheStoredGroundAreOutliers) {
  const cv::Vec3d o = flight_->takeOff();
  const cv::Matx33d ecefFromEnu = flight::ecefFromEnu(o[0], o[1]);
  const cv::Vec3d up = ecefFromEnu * cv::Vec3d(0, 0, 1), east = ecefFromEnu * cv::Vec3d(1, 0, 0);
  const tftest::TruthFrame first = flight_->frame(0), second = flight_->frame(1);
  tftest::TruthFrame lifted = flight_->frame(2);
  double west = 1e300, span = 0.0;
  for (const pi::Point3d& p : lifted.points)
    west = std::min(west, cv::Vec3d(p.x, p.y, p.z).dot(east));
  for (const pi::Point3d& p : lifted.points)
    span = std::max(span, cv::Vec3d(p.x, p.y, p.z).dot(east) - west);
  ASSERT_GT(span, 0.0);
  for (pi::Point3d& p : lifted.points) {
    const double lift = 10.0 + 30.0 * (cv::Vec3d(p.x, p.y, p.z).dot(east) - west) / span;
    p = pi::Point3d(p.x + lift * up[0], p.y + lift * up[1], p.z + lift * up[2]);
  }
  constexpr double kDepthError = 0.3;  // metres, a pair's precision at this flight's height
  const auto run = [&](const std::vector<std::pair<const tftest::TruthFrame*, double>>& frames) {
    vmtest::TempDir work;
    {
      auto node = tftest::makeNode(work.path(), nodeSettings(2));
      for (const auto& [frame, error] : frames) {
        sv::Var message({sv::Var(frame->frame), sv::Var(frame->points), sv::Var(error)});
        node->call("point_cloud", &message);
      }
    }
    return readProducts(work.path(), 1);
  };
  const Products alone = run({{&first, kDepthError}});
  const Products agreeing = run({{&first, kDepthError}, {&second, kDepthError}});
  const Products unchecked = run({{&first, 0.0}, {&second, 0.0}});
  ASSERT_FALSE(agreeing.dsm.empty());
  for (const auto& [key, heights] : unchecked.dsm) {
    ASSERT_TRUE(agreeing.dsm.count(key));
    EXPECT_EQ(cv::norm(heights, agreeing.dsm.at(key), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(unchecked.dom.at(key), agreeing.dom.at(key), cv::NORM_INF), 0.0);
  }

  const auto storedCells = finest(alone.dsm);
  const auto check = [&](const Products& both, int& replaced, int& added) {
    replaced = added = 0;
    for (const auto& [key, heights] : finest(both.dsm)) {
      const auto before = storedCells.find(key);
      for (int r = 0; r < heights.rows; ++r) {
        for (int c = 0; c < heights.cols; ++c) {
          const float h = heights.at<float>(r, c);
          const bool stored = before != storedCells.end() &&
                              before->second.at<float>(r, c) > TerrainFusion::kNoHeight;
          if (stored) replaced += h != before->second.at<float>(r, c);
          if (!stored) added += h > TerrainFusion::kNoHeight;
        }
      }
    }
  };
  int replaced = 0, added = 0;
  check(run({{&first, kDepthError}, {&lifted, 0.0}}), replaced, added);
  EXPECT_GT(replaced, 100) << "unchecked, the lifted frame's heights win where it sees best";
  const int addedUnchecked = added;
  check(run({{&first, kDepthError}, {&lifted, kDepthError}}), replaced, added);
  EXPECT_EQ(replaced, 0);
  EXPECT_EQ(added, addedUnchecked) << "the ground only the lifted frame saw keeps its heights";
  EXPECT_GT(added, 100);
}

// A frame without a depth map (the frame route, from its sparse map points) beside a dense
// frame: the dense frame's DSM cells keep its heights whichever comes first, the sparse one
// fills the DOM and the DSM only around them, at the dense heights' level when it comes
// after them.
TEST_F(TerrainProducts, DenseHeightsOutrankSparseOnesWhicheverComesFirst) {
  // The dense frame's points lifted 20 m, so that its heights are told from the sparse
  // frame's at a glance.
  tftest::TruthFrame dense = flight_->frame(0);
  const cv::Vec3d o = flight_->takeOff();
  const cv::Vec3d up = flight::ecefFromEnu(o[0], o[1]) * cv::Vec3d(0, 0, 1);
  for (pi::Point3d& p : dense.points)
    p = pi::Point3d(p.x + 20 * up[0], p.y + 20 * up[1], p.z + 20 * up[2]);
  const auto run = [&](const std::vector<bool>& sparseFirst) {
    vmtest::TempDir work;
    {
      auto node = tftest::makeNode(work.path(), nodeSettings(2));
      for (const bool sparse : sparseFirst) {
        if (sparse) {
          EXPECT_TRUE(node->fuseFrame(flight_->frame(1).frame));
        } else {
          sv::Var message = tftest::TruthFlight::pointCloudMessage(dense);
          node->call("point_cloud", &message);
        }
      }
    }
    return readProducts(work.path(), 1);
  };
  const Products denseAlone = run({false}), sparseAlone = run({true});
  const auto denseDsm = finest(denseAlone.dsm);
  ASSERT_FALSE(denseDsm.empty());
  ASSERT_FALSE(finest(sparseAlone.dsm).empty());
  for (const bool sparseFirst : {true, false}) {
    SCOPED_TRACE(sparseFirst ? "sparse first" : "dense first");
    const Products both = run({sparseFirst, !sparseFirst});
    const auto dsm = finest(both.dsm);
    int denseCells = 0, kept = 0, filled = 0;
    std::vector<float> lifts;  // of the filled cells against the sparse frame alone
    const auto sparseDsm = finest(sparseAlone.dsm);
    for (const auto& [key, heights] : dsm) {
      const auto alone = denseDsm.find(key);
      const auto sparse = sparseDsm.find(key);
      for (int r = 0; r < heights.rows; ++r) {
        for (int c = 0; c < heights.cols; ++c) {
          const float h = heights.at<float>(r, c);
          const bool denseThere =
              alone != denseDsm.end() && alone->second.at<float>(r, c) > TerrainFusion::kNoHeight;
          if (denseThere) {
            ++denseCells;
            kept += std::fabs(h - alone->second.at<float>(r, c)) < 1.0f;
          } else {
            filled += h > TerrainFusion::kNoHeight;
            if (h > TerrainFusion::kNoHeight && sparse != sparseDsm.end() &&
                sparse->second.at<float>(r, c) > TerrainFusion::kNoHeight)
              lifts.push_back(h - sparse->second.at<float>(r, c));
          }
        }
      }
    }
    ASSERT_GT(denseCells, 500);
    EXPECT_EQ(kept, denseCells);
    EXPECT_GT(filled, denseCells / 10) << "the sparse frame fills the DSM beyond the dense one";
    // Coming second, the sparse surface is moved to the level of the dense heights stored
    // (20 m up), so that no step stands where the two meet; coming first it stays.
    ASSERT_GT(lifts.size(), 100u);
    std::nth_element(lifts.begin(), lifts.begin() + lifts.size() / 2, lifts.end());
    EXPECT_NEAR(lifts[lifts.size() / 2], sparseFirst ? 0.0 : 20.0, 1.0);
    // The DOM holds both frames' ground.
    int either = 0, covered = 0;
    const auto seen = [](const std::map<Key, cv::Mat>& tiles, const Key& key, int r, int c) {
      const auto t = tiles.find(key);
      return t != tiles.end() && t->second.at<cv::Vec4b>(r, c)[3] > 0;
    };
    const auto dom = finest(both.dom), denseDom = finest(denseAlone.dom),
               sparseDom = finest(sparseAlone.dom);
    std::set<Key> keys;
    for (const auto* tiles : {&denseDom, &sparseDom})
      for (const auto& t : *tiles) keys.insert(t.first);
    for (const Key& key : keys) {
      for (int r = 0; r < 256; ++r) {
        for (int c = 0; c < 256; ++c) {
          if (!seen(denseDom, key, r, c) && !seen(sparseDom, key, r, c)) continue;
          ++either;
          covered += seen(dom, key, r, c);
        }
      }
    }
    ASSERT_GT(either, 10000);
    EXPECT_GE(double(covered) / either, 0.99) << covered << " of " << either;
  }
}

// A dense frame whose depth map covers only the top half of its view (its pair's overlap)
// takes the heights of the rest from its own sparse points: its DSM reaches nearly as far as
// with the whole depth map, and a neighbour's dense heights outrank the filled cells
// whichever frame comes first. The half frame's dense points are lifted 20 m, so that its
// filled cells (at the true ground) are told from its dense ones at a glance.
TEST_F(TerrainProducts, ADenseFrameFillsWhatItsDepthMapLeavesBareBelowDenseHeights) {
  const cv::Vec3d o = flight_->takeOff();
  const cv::Vec3d up = flight::ecefFromEnu(o[0], o[1]) * cv::Vec3d(0, 0, 1);
  tftest::TruthFrame whole = flight_->frame(0), half = flight_->frame(0);
  half.points.resize(half.points.size() / 2);  // row by row: the top half of the image
  for (tftest::TruthFrame* f : {&whole, &half})
    for (pi::Point3d& p : f->points)
      p = pi::Point3d(p.x + 20 * up[0], p.y + 20 * up[1], p.z + 20 * up[2]);
  const tftest::TruthFrame next = flight_->frame(1);
  const auto run = [&](const std::vector<const tftest::TruthFrame*>& frames) {
    vmtest::TempDir work;
    {
      auto node = tftest::makeNode(work.path(), nodeSettings(2));
      for (const tftest::TruthFrame* f : frames) {
        sv::Var message = tftest::TruthFlight::pointCloudMessage(*f);
        node->call("point_cloud", &message);
      }
    }
    return finest(readProducts(work.path(), 1).dsm);
  };
  const auto wholeDsm = run({&whole}), halfDsm = run({&half}), nextDsm = run({&next});
  const auto at = [](const std::map<Key, cv::Mat>& tiles, const Key& key, int r, int c) {
    const auto t = tiles.find(key);
    return t == tiles.end() ? TerrainFusion::kNoHeight : t->second.at<float>(r, c);
  };
  int wholeCells = 0, reached = 0;
  std::vector<std::tuple<Key, int, int>> filledUnderNext;
  for (const auto& [key, heights] : wholeDsm) {
    for (int r = 0; r < heights.rows; ++r) {
      for (int c = 0; c < heights.cols; ++c) {
        if (!(heights.at<float>(r, c) > TerrainFusion::kNoHeight)) continue;
        ++wholeCells;
        const float h = at(halfDsm, key, r, c);
        if (!(h > TerrainFusion::kNoHeight)) continue;
        ++reached;
        const bool filled = std::fabs(h - heights.at<float>(r, c)) > 10.0f;
        if (filled && at(nextDsm, key, r, c) > TerrainFusion::kNoHeight)
          filledUnderNext.emplace_back(key, r, c);
      }
    }
  }
  ASSERT_GT(wholeCells, 500);
  EXPECT_GE(double(reached) / wholeCells, 0.9) << reached << " of " << wholeCells;
  ASSERT_GT(filledUnderNext.size(), 100u);
  for (const bool halfFirst : {true, false}) {
    SCOPED_TRACE(halfFirst ? "half first" : "next first");
    const auto both = halfFirst ? run({&half, &next}) : run({&next, &half});
    size_t kept = 0;
    for (const auto& [key, r, c] : filledUnderNext)
      kept += std::fabs(at(both, key, r, c) - at(nextDsm, key, r, c)) < 1.0f;
    EXPECT_GE(double(kept) / filledUnderNext.size(), 0.95)
        << kept << " of " << filledUnderNext.size();
  }
}

// Heights that only a frame's own image pair confirmed (two depth maps of one pair agreeing
// on the same slip) rank below independently confirmed dense heights: where the next frame's
// heights stand they stay, whichever frame comes first; where nothing else stands the pair's
// heights fill the DSM. A pair's frame sunk 2 m stays within its sparse surface's slack and
// shows the ranking; one sunk 8 m (a pit) gives way to its own sparse surface.
TEST_F(TerrainProducts, HeightsOnlyTheirOwnPairConfirmedFillButNeverOverrideDenseOnes) {
  const cv::Vec3d o = flight_->takeOff();
  const cv::Vec3d up = flight::ecefFromEnu(o[0], o[1]) * cv::Vec3d(0, 0, 1);
  const auto sunk = [&](double metres) {
    tftest::TruthFrame frame = flight_->frame(0);
    for (pi::Point3d& p : frame.points)
      p = pi::Point3d(p.x - metres * up[0], p.y - metres * up[1], p.z - metres * up[2]);
    return frame;
  };
  const tftest::TruthFrame shallow = sunk(2.0), pit = sunk(8.0), next = flight_->frame(1);
  const auto message = [&](const tftest::TruthFrame* f) {
    if (f == &next) return tftest::TruthFlight::pointCloudMessage(*f);
    return sv::Var(
        {sv::Var(f->frame), sv::Var(std::vector<pi::Point3d>()), sv::Var(0.0), sv::Var(f->points)});
  };
  const auto run = [&](const std::vector<const tftest::TruthFrame*>& frames) {
    vmtest::TempDir work;
    {
      auto node = tftest::makeNode(work.path(), nodeSettings(2));
      for (const tftest::TruthFrame* f : frames) {
        sv::Var m = message(f);
        node->call("point_cloud", &m);
      }
    }
    return finest(readProducts(work.path(), 1).dsm);
  };
  const auto at = [](const std::map<Key, cv::Mat>& tiles, const Key& key, int r, int c) {
    const auto t = tiles.find(key);
    return t == tiles.end() ? TerrainFusion::kNoHeight : t->second.at<float>(r, c);
  };
  // Calls visit(key, r, c, height of `alone`, height of the next frame) for each cell of
  // `alone` with a height.
  using Visit = std::function<void(const Key&, int, int, float, float)>;
  const auto forEachCell = [&](const std::map<Key, cv::Mat>& alone,
                               const std::map<Key, cv::Mat>& nextDsm, const Visit& visit) {
    for (const auto& [key, heights] : alone)
      for (int r = 0; r < heights.rows; ++r)
        for (int c = 0; c < heights.cols; ++c)
          if (heights.at<float>(r, c) > TerrainFusion::kNoHeight)
            visit(key, r, c, heights.at<float>(r, c), at(nextDsm, key, r, c));
  };
  const auto shallowDsm = run({&shallow}), nextDsm = run({&next});
  ASSERT_FALSE(shallowDsm.empty()) << "a frame of pair-only points alone still reaches the DSM";
  for (const bool shallowFirst : {true, false}) {
    SCOPED_TRACE(shallowFirst ? "pair-only first" : "next first");
    const auto both = shallowFirst ? run({&shallow, &next}) : run({&next, &shallow});
    size_t shared = 0, keptNext = 0, alone = 0, filled = 0;
    forEachCell(shallowDsm, nextDsm, [&](const Key& key, int r, int c, float h, float other) {
      const float merged = at(both, key, r, c);
      if (other > TerrainFusion::kNoHeight) {
        ++shared;
        keptNext += std::fabs(merged - other) < 1.0f;
      } else {
        ++alone;
        filled += std::fabs(merged - h) < 1.0f;
      }
    });
    ASSERT_GT(shared, 500u);
    ASSERT_GT(alone, 100u);
    EXPECT_GE(double(keptNext) / shared, 0.95) << keptNext << " of " << shared;
    EXPECT_GE(double(filled) / alone, 0.9) << filled << " of " << alone;
  }
  size_t shared = 0, level = 0;
  forEachCell(run({&pit}), nextDsm, [&](const Key&, int, int, float h, float other) {
    if (!(other > TerrainFusion::kNoHeight)) return;
    ++shared;
    level += std::fabs(h - other) < 2.0f;
  });
  ASSERT_GT(shared, 500u);
  EXPECT_GE(double(level) / shared, 0.9) << level << " of " << shared << " cells off the pit";
}

// A frame given alone before any point cloud is mapped from its sparse points like any
// other frame: it reaches the tiles, refreshes the records, is counted once and takes its
// part in trimming the cache.
TEST_F(TerrainProducts, FramesAloneBeforeAnyPointCloudReachTheTilesAndTheRecords) {
  fw::RunTally& tally = fw::RunTally::instance();
  tally.reset();
  tftest::LogCapture log;
  vmtest::TempDir work;
  zel::Chain root("root", nullptr);
  const auto states = [&] {
    std::vector<int> found;
    root.visitOutputs(
        [&](const std::shared_ptr<zel::OutputItem>& r) { found.push_back(r->state); });
    return found;
  };
  {
    auto node = tftest::makeNode(work.path(), nodeSettings(1), &root);
    // Reported as soon as the node stands, not started.
    EXPECT_EQ(states(), std::vector<int>(2, zel::kOutputNotStarted));
    EXPECT_TRUE(node->fuseFrame(flight_->frame(0).frame));
    EXPECT_TRUE(node->fuseFrame(flight_->frame(1).frame));
    drain(*node);
    EXPECT_EQ(states(), std::vector<int>(2, zel::kOutputInProgress));
    EXPECT_EQ(tally.count(fw::tally::kTerrainFrames), 2);
    EXPECT_EQ(tally.failures(fw::tally::kTerrainFrames), 0);
    // One worker: the second frame's end trims what the first left.
    EXPECT_EQ(log.linesWith("Remove cache num: ").size(), 1u);
  }
  EXPECT_EQ(tally.count(fw::tally::kTerrainFrames), 2);
  EXPECT_FALSE(finest(readProducts(work.path(), 1).dom).empty());
}

// Frames of other image layouts are read as colour: a grey frame appears grey in the DOM; a
// 16-bit frame and one with alpha give the DOM of the 8-bit colour frame, byte for byte.
TEST_F(TerrainProducts, GreyAndSixteenBitFramesAppearInTheDom) {
  const cv::Mat colour = cv::imread(
      [&] {
        std::string path;
        flight_->frame(0).frame->call("GetImagePath", &path);
        return path;
      }(),
      cv::IMREAD_UNCHANGED);
  ASSERT_EQ(colour.type(), CV_8UC3);
  cv::Mat grey, deep, withAlpha;
  cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
  colour.convertTo(deep, CV_16UC3, 257.0);
  cv::cvtColor(colour, withAlpha, cv::COLOR_BGR2BGRA);
  const auto mapOne = [&](const cv::Mat& image) {
    vmtest::TempDir work;
    std::string path = (work.path() / "frame.png").string();
    EXPECT_TRUE(cv::imwrite(path, image));
    tftest::TruthFrame frame = flight_->frame(0);
    frame.frame->call("SetImagePath", &path);
    {
      auto node = tftest::makeNode(work.path(), nodeSettings(1));
      sv::Var message = tftest::TruthFlight::pointCloudMessage(frame);
      node->call("point_cloud", &message);
    }
    return readProducts(work.path(), 1).dom;
  };
  const auto greyDom = mapOne(grey);
  ASSERT_FALSE(greyDom.empty());
  int seen = 0, notGrey = 0;
  for (const auto& [key, tile] : greyDom) {
    for (auto it = tile.begin<cv::Vec4b>(); it != tile.end<cv::Vec4b>(); ++it) {
      if ((*it)[3] == 0) continue;
      ++seen;
      notGrey += (*it)[0] != (*it)[1] || (*it)[1] != (*it)[2];
    }
  }
  EXPECT_GT(seen, 10000);
  EXPECT_EQ(notGrey, 0);
  const auto colourDom = mapOne(colour);
  for (const cv::Mat& image : {deep, withAlpha}) {
    SCOPED_TRACE(image.type());
    const auto dom = mapOne(image);
    ASSERT_EQ(dom.size(), colourDom.size());
    for (const auto& [key, tile] : colourDom) {
      const auto other = dom.find(key);
      ASSERT_NE(other, dom.end());
      EXPECT_EQ(cv::norm(tile, other->second, cv::NORM_INF), 0.0);
    }
  }
}

// A raster handed over in memory becomes colour by the rule frame files are decoded with.
TEST(FrameImages, RastersInMemoryBecomeColourAsTheirFilesDecode) {
  cv::Mat deep(3, 5, CV_16UC3), greyDeep(3, 5, CV_16UC1), bgra(3, 5, CV_8UC4), grey(3, 5, CV_8UC1);
  cv::RNG random(7);
  for (cv::Mat* m : {&deep, &greyDeep}) random.fill(*m, cv::RNG::UNIFORM, 0, 65536);
  for (cv::Mat* m : {&bgra, &grey}) random.fill(*m, cv::RNG::UNIFORM, 0, 256);
  for (const cv::Mat& image : {deep, greyDeep, bgra, grey}) {
    SCOPED_TRACE(image.type());
    std::vector<uchar> png;
    ASSERT_TRUE(cv::imencode(".png", image, png));
    const cv::Mat decoded = fw::decodeFrameImage(png);
    const cv::Mat converted = fw::bgrOf(image);
    ASSERT_EQ(decoded.type(), CV_8UC3);
    ASSERT_EQ(converted.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(decoded, converted, cv::NORM_INF), 0.0);
  }
}

TEST(FrameImages, CommonLayoutsBecomeEightBitColourAndOthersAreRefused) {
  const cv::Mat bgr(2, 2, CV_8UC3, cv::Scalar(10, 20, 30));
  cv::Mat bgra, grey, greyAlpha, deep;
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  grey = cv::Mat(2, 2, CV_8UC1, cv::Scalar(77));
  cv::merge(std::vector<cv::Mat>{grey, cv::Mat(2, 2, CV_8UC1, cv::Scalar(0))}, greyAlpha);
  bgr.convertTo(deep, CV_16UC3, 257.0);
  EXPECT_EQ(fw::bgrOf(bgra).at<cv::Vec3b>(1, 1), cv::Vec3b(10, 20, 30));
  EXPECT_EQ(fw::bgrOf(deep).at<cv::Vec3b>(1, 1), cv::Vec3b(10, 20, 30));
  EXPECT_EQ(fw::bgrOf(grey).at<cv::Vec3b>(0, 0), cv::Vec3b(77, 77, 77));
  EXPECT_EQ(fw::bgrOf(greyAlpha).at<cv::Vec3b>(0, 0), cv::Vec3b(77, 77, 77));
  EXPECT_EQ(fw::bgrOf(bgr).data, bgr.data);  // already colour: not copied
  EXPECT_TRUE(fw::bgrOf(cv::Mat(2, 2, CV_32FC3)).empty());
  EXPECT_TRUE(fw::bgrOf(cv::Mat()).empty());
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
