#include "src/TerrainFusion/src/tile_writers.h"
#include "src/TerrainFusion/src/cache_trimmer.h"
#include "src/TerrainFusion/src/laplacian_pyramid.h"
#include "src/TerrainFusion/src/tf_tileset.h"
#include "src/TerrainFusion/src/tile_access.h"
#include "src/TerrainFusion/src/tile_clock.h"
#include "src/TerrainFusion/src/tileset_refresh.h"
#include "tiles/tile_manager_cached_gdal.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <random>
#include <thread>
#include <vector>

using tile_model::kNoHeight;

namespace {

// OpenCV's own worker threads are not instrumented for ThreadSanitizer, which then reports
// their hand-overs as races: this test binary runs OpenCV's loops on the calling thread.
const bool kOpenCvOnCallingThread = [] {
  cv::setNumThreads(0);
  return true;
}();

struct Tiling {
  std::shared_ptr<TileManagerCachedGDAL> cache =
      std::make_shared<TileManagerCachedGDAL>(fw::TileManager::defaultProjection(), nullptr, 4096);
  TileLockTable locks;
  TileAccess access{cache, locks};

  std::shared_ptr<TerrainFusionMultiTile> tile(int x, int y, int z) {
    return std::dynamic_pointer_cast<TerrainFusionMultiTile>(cache->GetTile(x, y, z));
  }
};

// Rasters over tiles (x0, y0) .. (x0 + across - 1, y0 + down - 1).
TileRasters rastersOver(int x0, int y0, int across, int down, const cv::Mat& dom,
                        const cv::Mat& weight, float height = 10.0f) {
  TileRasters r;
  r.firstTile = {x0, y0};
  r.lastTile = {x0 + across - 1, y0 + down - 1};
  r.dom = dom;
  r.weight = weight;
  r.dsm = cv::Mat(down * 64, across * 64, CV_32FC1, cv::Scalar(height));
  return r;
}

cv::Mat texture(int width, int height, unsigned seed) {
  cv::Mat noise(height / 8, width / 8, CV_8UC3);
  cv::RNG rng(seed);
  rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::Mat out;
  cv::resize(noise, out, cv::Size(width, height), 0, 0, cv::INTER_CUBIC);
  return out;
}

// Weight rising left to right (or falling), 1..255.
cv::Mat ramp(int width, int height, bool rising) {
  cv::Mat w(height, width, CV_8UC1);
  for (int c = 0; c < width; ++c) {
    const int v = 1 + (254 * c) / (width - 1);
    w.col(c).setTo(rising ? v : 256 - v);
  }
  return w;
}

double maxAdjacentStep(const cv::Mat& grey) {
  cv::Mat dx, dy;
  cv::absdiff(grey.colRange(1, grey.cols), grey.colRange(0, grey.cols - 1), dx);
  cv::absdiff(grey.rowRange(1, grey.rows), grey.rowRange(0, grey.rows - 1), dy);
  double a = 0, b = 0;
  cv::minMaxLoc(dx, nullptr, &a);
  cv::minMaxLoc(dy, nullptr, &b);
  return std::max(a, b);
}

// The DOM of tiles (x0, y0) .. as one image.
cv::Mat mosaic(Tiling& t, int x0, int y0, int across, int down, int z) {
  cv::Mat out(down * 256, across * 256, CV_8UC3, cv::Scalar::all(0));
  for (int j = 0; j < down; ++j)
    for (int i = 0; i < across; ++i)
      if (auto tile = t.tile(x0 + i, y0 + j, z))
        cv::Mat(tile->GetImage()).copyTo(out(cv::Rect(256 * i, 256 * j, 256, 256)));
  return out;
}

TEST(LaplacianPyramid, CollapseRestoresTheImageAndOtherDepthsDecomposeInPlace) {
  const cv::Mat image = texture(256, 256, 3);
  std::vector<cv::Mat> bands;
  buildLaplacianPyramid(image, 5, bands);
  ASSERT_EQ(bands.size(), 6u);
  EXPECT_EQ(bands[5].size(), cv::Size(8, 8));
  EXPECT_EQ(bands[0].type(), CV_16SC3);
  collapseLaplacianPyramid(bands);
  cv::Mat back;
  bands[0].convertTo(back, CV_8U);
  EXPECT_EQ(cv::norm(back, image, cv::NORM_INF), 0.0);

  cv::Mat heights(64, 64, CV_32FC1, cv::Scalar(3.0f));
  std::vector<cv::Mat> levels;
  buildLaplacianPyramid(heights, 2, levels);
  EXPECT_EQ(levels[0].data, heights.data);  // band 0 written into the source
  EXPECT_NEAR(cv::norm(heights, cv::NORM_INF), 0.0, 1e-5);
  EXPECT_NEAR(levels[2].at<float>(0, 0), 3.0f, 1e-5);
}

TEST(LaplacianPyramid, BandsMatchTheWholeLevelsPulledUp) {
  // Tall, odd and tiny sizes: the bands of rows must give what each level pulled up whole
  // and subtracted gives.
  for (const cv::Size size :
       {cv::Size(384, 384), cv::Size(301, 257), cv::Size(40, 700), cv::Size(5, 3)}) {
    const cv::Mat image =
        texture(std::max(size.width, 8), std::max(size.height, 8), 2)(cv::Rect({}, size));
    std::vector<cv::Mat> bands;
    buildLaplacianPyramid(image, 3, bands);
    cv::Mat fine = image;
    for (int l = 0; l < 3; ++l) {
      cv::Mat coarse, up, expected;
      cv::pyrDown(fine, coarse);
      cv::pyrUp(coarse, up, fine.size());
      cv::subtract(fine, up, expected, cv::noArray(), CV_16S);
      EXPECT_EQ(cv::norm(bands[l], expected, cv::NORM_INF), 0.0) << size << " level " << l;
      fine = coarse;
    }
  }
}

TEST(LaplacianPyramid, AWindowCollapsesToTheSameBytesAsTheWhole) {
  // Random bands (not the pyramid of any image, so saturation is reached too) over a tile's
  // mosaic and over odd sizes, with windows against every edge, inside and a pixel wide.
  // 264x200 crops three even levels and then pulls its odd level 3 (33x25) up whole.
  cv::RNG rng(11);
  for (const cv::Size size :
       {cv::Size(384, 384), cv::Size(301, 257), cv::Size(320, 448), cv::Size(264, 200)}) {
    std::vector<cv::Mat> bands;
    buildLaplacianPyramid(texture(size.width, size.height, 3), 5, bands);
    for (size_t l = 0; l < bands.size(); ++l) {
      cv::Mat noise(bands[l].size(), bands[l].type());
      rng.fill(noise, cv::RNG::UNIFORM, cv::Scalar::all(-30000), cv::Scalar::all(30000));
      if (l % 2 == 1) bands[l] = noise;
    }
    std::vector<cv::Mat> whole;
    for (const auto& b : bands) whole.push_back(b.clone());
    collapseLaplacianPyramid(whole);
    const std::vector<cv::Rect> windows{{64, 64, size.width - 128, size.height - 128},
                                        {0, 0, size.width, size.height},
                                        {0, 0, 17, 9},
                                        {size.width - 13, size.height - 6, 13, 6},
                                        {size.width / 2, 0, 1, size.height},
                                        {5, size.height / 3, size.width - 5, 1},
                                        {127, 129, 3, 2}};
    // Level 0 given over the window alone, as a tile's collapse gives it: never read beyond.
    std::vector<cv::Mat> coarser = bands;
    coarser[0] = cv::Mat();
    for (const cv::Rect& w : windows) {
      const cv::Mat part = collapsedWindow(bands, w);
      ASSERT_EQ(part.size(), w.size());
      EXPECT_EQ(cv::norm(part, whole[0](w), cv::NORM_INF), 0.0)
          << size << " window " << w.x << "," << w.y << " " << w.width << "x" << w.height;
      const cv::Mat alone = collapsedWindow(coarser, bands[0](w).clone(), size, w.tl());
      ASSERT_EQ(alone.size(), w.size());
      EXPECT_EQ(cv::norm(alone, whole[0](w), cv::NORM_INF), 0.0)
          << size << " level 0 alone, window " << w.x << "," << w.y;
    }
  }
}

TEST(Blending, OneTexturedFrameReproducesItsDomAwayFromTheBlockEdge) {
  Tiling t;
  const cv::Mat dom = texture(1024, 1024, 5);
  ASSERT_TRUE(
      blendTiles(t.access, rastersOver(100, 200, 4, 4, dom, ramp(1024, 1024, true)), 18, 1));
  const cv::Mat inner = mosaic(t, 101, 201, 2, 2, 18);
  EXPECT_LE(cv::norm(inner, dom(cv::Rect(256, 256, 512, 512)), cv::NORM_INF), 1.0);
}

TEST(Blending, OpposedRampsBlendWithoutSeamsWhileStitchingKeepsTheStep) {
  const cv::Mat grey100(1024, 1024, CV_8UC3, cv::Scalar::all(100));
  const cv::Mat grey140(1024, 1024, CV_8UC3, cv::Scalar::all(140));
  Tiling blended, stitched;
  for (auto* t : {&blended, &stitched}) {
    auto write = t == &blended ? blendTiles : stitchTiles;
    ASSERT_TRUE(
        write(t->access, rastersOver(40, 60, 4, 4, grey100, ramp(1024, 1024, false)), 17, 1));
    ASSERT_TRUE(
        write(t->access, rastersOver(40, 60, 4, 4, grey140, ramp(1024, 1024, true)), 17, 1));
  }
  cv::Mat grey;
  cv::cvtColor(mosaic(blended, 40, 60, 4, 4, 17), grey, cv::COLOR_BGR2GRAY);
  double lo = 0, hi = 0;
  cv::minMaxLoc(grey, &lo, &hi);
  EXPECT_GE(lo, 100.0);  // edge tiles included: no dark band along the block's border
  EXPECT_LE(hi, 140.0);
  EXPECT_LE(maxAdjacentStep(grey), 2.0);

  cv::cvtColor(mosaic(stitched, 40, 60, 4, 4, 17), grey, cv::COLOR_BGR2GRAY);
  EXPECT_EQ(maxAdjacentStep(grey), 40.0);
}

// A frame that covers part of its tiles (a quarter of one tile, or a square over the corner
// four tiles share) lands whole: its DOM in the tiles equals its local raster over the
// whole patch, with no cut where the tiles meet, and its heights are there too.
TEST(Blending, APartialFrameLandsWholeAcrossTileBorders) {
  struct Patch {
    int across, down;
    cv::Rect area;
  };
  for (const Patch& patch :
       {Patch{1, 1, cv::Rect(128, 0, 128, 128)}, Patch{2, 2, cv::Rect(156, 156, 200, 200)}}) {
    for (const bool blend : {true, false}) {
      SCOPED_TRACE(std::to_string(patch.across) + (blend ? " blended" : " stitched"));
      Tiling t;
      const int w = 256 * patch.across, h = 256 * patch.down;
      const cv::Mat dom = texture(w, h, 11);
      cv::Mat weight(h, w, CV_8UC1, cv::Scalar(0));
      weight(patch.area).setTo(200);
      TileRasters rasters = rastersOver(300, 500, patch.across, patch.down, dom, weight, 12.5f);
      auto write = blend ? blendTiles : stitchTiles;
      ASSERT_TRUE(write(t.access, rasters, 18, 1));
      const cv::Mat stored = mosaic(t, 300, 500, patch.across, patch.down, 18);
      EXPECT_LE(cv::norm(stored(patch.area), dom(patch.area), cv::NORM_INF), 1.0);
      for (int j = 0; j < patch.down; ++j) {
        for (int i = 0; i < patch.across; ++i) {
          const auto tile = t.tile(300 + i, 500 + j, 18);
          ASSERT_TRUE(tile);
          const cv::Rect inTile = patch.area & cv::Rect(256 * i, 256 * j, 256, 256);
          const cv::Rect cells((inTile.x - 256 * i + 3) / 4, (inTile.y - 256 * j + 3) / 4,
                               inTile.width / 4 - 1, inTile.height / 4 - 1);
          cv::Mat heights(tile->GetElevation());
          double lo = 0, hi = 0;
          cv::minMaxLoc(heights(cells), &lo, &hi);
          EXPECT_EQ(lo, 12.5);
          EXPECT_EQ(hi, 12.5);
        }
      }
    }
  }
}

// Two frames side by side, each over its own tile, give the same tiles in either order: the
// tile next to a frame's tiles is rebuilt too, since its DOM reads their bands at the edge.
TEST(Blending, NeighbouringFramesGiveTheSameTilesInEitherOrder) {
  const cv::Mat left = texture(256, 256, 21), right = texture(256, 256, 22);
  const cv::Mat full(256, 256, CV_8UC1, cv::Scalar(180));
  std::vector<cv::Mat> results;
  for (const bool leftFirst : {true, false}) {
    Tiling t;
    const TileRasters a = rastersOver(70, 90, 1, 1, left, full);
    const TileRasters b = rastersOver(71, 90, 1, 1, right, full);
    ASSERT_TRUE(blendTiles(t.access, leftFirst ? a : b, 18, 2));
    ASSERT_TRUE(blendTiles(t.access, leftFirst ? b : a, 18, 2));
    cv::Mat both = mosaic(t, 70, 90, 2, 1, 18);
    auto parent = t.tile(35, 45, 17);
    ASSERT_TRUE(parent);
    results.push_back(both);
    results.push_back(cv::Mat(parent->GetImage()).clone());
  }
  EXPECT_EQ(cv::norm(results[0], results[2], cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(results[1], results[3], cv::NORM_INF), 0.0);
}

// Across the antimeridian a frame's raster runs on past the map's last column: its tiles
// are those of the columns taken round the map, and its neighbours there too.
TEST(Blending, ColumnsPastTheMapsEdgeWrapRound) {
  EXPECT_EQ(wrapColumn(-1, 3), 7);
  EXPECT_EQ(wrapColumn(8, 3), 0);
  EXPECT_EQ(wrapColumn(5, 3), 5);
  EXPECT_EQ(wrapColumn(-17, 3), 7);
  const int z = 10, last = (1 << z) - 1;
  const cv::Mat dom = texture(512, 256, 31);
  const cv::Mat full(256, 512, CV_8UC1, cv::Scalar(150));
  Tiling across, inside;
  ASSERT_TRUE(blendTiles(across.access, rastersOver(last, 40, 2, 1, dom, full), z, 2));
  ASSERT_TRUE(blendTiles(inside.access, rastersOver(100, 40, 2, 1, dom, full), z, 2));
  ASSERT_TRUE(across.tile(last, 40, z) && across.tile(0, 40, z));
  EXPECT_FALSE(across.tile(last + 1, 40, z));
  for (int i = 0; i < 2; ++i) {
    const cv::Mat a(across.tile(i == 0 ? last : 0, 40, z)->GetImage());
    const cv::Mat b(inside.tile(100 + i, 40, z)->GetImage());
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0) << i;
  }
}

TEST(Blending, TheEdgeOfTheDataKeepsItsColour) {
  Tiling t;
  cv::Mat dom(256, 256, CV_8UC3, cv::Scalar::all(255));  // white where nothing was seen
  dom.colRange(0, 128).setTo(cv::Scalar::all(100));
  cv::Mat weight(256, 256, CV_8UC1, cv::Scalar(0));
  weight.colRange(0, 128).setTo(200);
  ASSERT_TRUE(blendTiles(t.access, rastersOver(2, 2, 1, 1, dom, weight), 14, 1));
  double lo = 0, hi = 0;
  cv::minMaxLoc(cv::Mat(t.tile(2, 2, 14)->GetImage()).colRange(0, 128).reshape(1), &lo, &hi);
  EXPECT_GE(lo, 99.0);
  EXPECT_LE(hi, 101.0);
}

// A tile whose left and upper neighbours exist but not the one diagonally between them: the
// band mosaic's missing corner mirrors the strip beside it, so flat ground stays flat up to
// the tile's corner instead of darkening towards an empty corner.
TEST(Blending, AMissingCornerTileLeavesItsNeighboursCornerUndarkened) {
  Tiling t;
  const cv::Mat dom(512, 512, CV_8UC3, cv::Scalar::all(100));
  cv::Mat weight(512, 512, CV_8UC1, cv::Scalar(200));
  weight(cv::Rect(0, 0, 256, 256)).setTo(0);  // no tile (10, 10)
  ASSERT_TRUE(blendTiles(t.access, rastersOver(10, 10, 2, 2, dom, weight), 16, 1));
  ASSERT_FALSE(t.tile(10, 10, 16));
  for (const auto& [x, y] : {std::pair<int, int>{11, 10}, {10, 11}, {11, 11}}) {
    SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
    ASSERT_TRUE(t.tile(x, y, 16));
    double lo = 0, hi = 0;
    cv::minMaxLoc(cv::Mat(t.tile(x, y, 16)->GetImage()).reshape(1), &lo, &hi);
    EXPECT_GE(lo, 99.0);
    EXPECT_LE(hi, 101.0);
  }
}

// A height cell goes to the frame that sees any of its pixels best, even when its top-left
// pixel lies outside that frame; a frame without a height in a cell never erases the stored
// one. Both in blending and in stitching.
TEST(Blending, HeightCellsGoToTheFrameSeeingThemBestAndAreNeverErased) {
  for (const bool blend : {true, false}) {
    SCOPED_TRACE(blend ? "blend" : "stitch");
    Tiling t;
    const auto merge = [&](const TileRasters& r) {
      return blend ? blendTiles(t.access, r, 16, 1) : stitchTiles(t.access, r, 16, 1);
    };
    const cv::Mat grey(256, 256, CV_8UC3, cv::Scalar::all(80));
    ASSERT_TRUE(
        merge(rastersOver(7, 9, 1, 1, grey, cv::Mat(256, 256, CV_8UC1, cv::Scalar(100)), 5.0f)));
    // The second frame sees columns 2.. of the tile strongly (cell 0's top-left pixel not),
    // and has no height in cell row 10.
    cv::Mat weight(256, 256, CV_8UC1, cv::Scalar(0));
    weight.colRange(2, 256).setTo(200);
    TileRasters second = rastersOver(7, 9, 1, 1, grey, weight, 9.0f);
    second.dsm.row(10).setTo(kNoHeight);
    ASSERT_TRUE(merge(second));
    const cv::Mat heights = t.tile(7, 9, 16)->GetElevation();
    EXPECT_EQ(heights.at<float>(20, 0), 9.0f);  // its edge cell is the second frame's
    EXPECT_EQ(heights.at<float>(20, 40), 9.0f);
    EXPECT_EQ(heights.at<float>(10, 40), 5.0f);  // no height there: the first frame's stays
  }
}

TEST(Blending, EqualWeightsKeepTheStoredValuesAndStackLessTilesMerge) {
  Tiling t;
  const cv::Mat weight(256, 256, CV_8UC1, cv::Scalar(50));
  // A stored tile as an older store leaves it: no band stacks, no heights.
  auto old = std::make_shared<TerrainFusionMultiTile>(
      fw::GImage(cv::Mat(256, 256, CV_8UC3, cv::Scalar::all(60))), fw::GImage(), 7, 9, 16, 0.0,
      fw::GImage(weight.clone()));
  t.cache->SetTile(7, 9, 16, old);
  cv::Mat frameWeight = weight.clone();
  frameWeight(cv::Rect(0, 0, 128, 256)).setTo(200);
  ASSERT_TRUE(blendTiles(
      t.access,
      rastersOver(7, 9, 1, 1, cv::Mat(256, 256, CV_8UC3, cv::Scalar::all(90)), frameWeight, 4.0f),
      16, 1));
  auto tile = t.tile(7, 9, 16);
  ASSERT_TRUE(tile);
  EXPECT_TRUE(tile_model::hasValidBandStacks(*tile));
  const cv::Mat heights = tile->GetElevation();
  EXPECT_EQ(heights.at<float>(10, 5), 4.0f);        // the frame won there
  EXPECT_EQ(heights.at<float>(10, 60), kNoHeight);  // equal weight: stored (none) stays
  const cv::Mat tileWeight = tile->GetWeight();
  EXPECT_EQ(tileWeight.at<uint8_t>(128, 10), 200);
  EXPECT_EQ(tileWeight.at<uint8_t>(128, 250), 50);
  EXPECT_EQ(cv::Mat(tile->bandStack3[0]).at<uint8_t>(128, 250), 50);
  EXPECT_EQ(cv::Mat(old->GetImage()).at<cv::Vec3b>(0, 0)[0], 60);  // never written in place
}

TEST(TileModel, LentRastersShareWhatFitsAndFillTheRest) {
  // A DOM that fits, no weight, heights of the wrong size: the DOM is the stored pixels
  // themselves, the others the model's fills, as privateRasters gives them but uncopied.
  const cv::Mat dom(256, 256, CV_8UC3, cv::Scalar(1, 2, 3));
  const TerrainFusionMultiTile stored(fw::GImage(dom), fw::GImage(cv::Mat(8, 8, CV_32FC1)), 1, 2, 3,
                                      0.0, fw::GImage());
  const tile_model::Rasters lent = tile_model::lentRasters(stored);
  EXPECT_EQ(lent.dom.data, dom.data);
  const tile_model::Rasters own = tile_model::privateRasters(stored);
  EXPECT_NE(own.dom.data, dom.data);
  for (const tile_model::Rasters* r : {&lent, &own}) {
    EXPECT_EQ(cv::norm(r->dom, dom, cv::NORM_INF), 0.0);
    ASSERT_EQ(r->weight.size(), cv::Size(256, 256));
    EXPECT_EQ(cv::countNonZero(r->weight), 0);
    ASSERT_EQ(r->heights.size(), cv::Size(64, 64));
    EXPECT_EQ(r->heights.at<float>(63, 63), kNoHeight);
  }
}

TEST(LowerZooms, BlocksLandInTheirAncestorsDownToZoomZero) {
  Tiling t;
  const cv::Mat dom = texture(256, 256, 9);
  ASSERT_TRUE(stitchTiles(t.access, rastersOver(5, 3, 1, 1, dom, ramp(256, 256, true)), 18, 6));
  const int blocks[][4] = {
      {2, 1, 128, 128}, {1, 0, 64, 192}, {0, 0, 160, 96}, {0, 0, 80, 48}, {0, 0, 40, 24}};
  cv::Mat expected = dom;
  for (int k = 1; k <= 5; ++k) {
    cv::pyrDown(expected, expected);
    auto ancestor = t.tile(blocks[k - 1][0], blocks[k - 1][1], 18 - k);
    ASSERT_TRUE(ancestor) << k;
    const int side = 256 >> k;
    const cv::Rect block(blocks[k - 1][2], blocks[k - 1][3], side, side);
    EXPECT_EQ(cv::norm(cv::Mat(ancestor->GetImage())(block), expected, cv::NORM_INF), 0.0) << k;
    const cv::Mat heights = ancestor->GetElevation();
    EXPECT_EQ(heights.at<float>(block.y / 4, block.x / 4), 10.0f) << k;
    EXPECT_EQ(ancestor->bandStack1.size(), 0u);
  }
  EXPECT_FALSE(t.tile(0, 0, 12));
  // Outside its block a new ancestor is black, without weight or heights.
  auto parent = t.tile(2, 1, 17);
  EXPECT_EQ(cv::countNonZero(cv::Mat(parent->GetWeight())(cv::Rect(0, 0, 128, 128))), 0);
  EXPECT_EQ(cv::Mat(parent->GetElevation()).at<float>(0, 0), kNoHeight);

  Tiling low;
  ASSERT_TRUE(stitchTiles(low.access, rastersOver(5, 3, 1, 1, dom, ramp(256, 256, true)), 3, 12));
  EXPECT_TRUE(low.tile(0, 0, 0));
  EXPECT_EQ(clampRenderZooms(12), 7);
  EXPECT_EQ(clampRenderZooms(0), 1);
}

TEST(LowerZooms, EachBlockMasksItsOwnHeightsAndLeavesTheOthers) {
  // Tile (4, 2) seen over its left half only, then tile (5, 2) seen whole: they share their
  // parent (2, 1) at zoom 17, where the first block keeps heights only under its seen half
  // and the second block leaves them so.
  Tiling t;
  cv::Mat halfSeen(256, 256, CV_8UC1, cv::Scalar(0));
  halfSeen.colRange(0, 128).setTo(cv::Scalar(90));
  ASSERT_TRUE(
      stitchTiles(t.access, rastersOver(4, 2, 1, 1, texture(256, 256, 4), halfSeen, 7.0f), 18, 3));
  ASSERT_TRUE(stitchTiles(t.access,
                          rastersOver(5, 2, 1, 1, texture(256, 256, 5),
                                      cv::Mat(256, 256, CV_8UC1, cv::Scalar(60)), 9.0f),
                          18, 3));
  const cv::Mat heights = t.tile(2, 1, 17)->GetElevation();
  for (int column = 0; column < 64; ++column) {
    const float expected = column < 16 ? 7.0f : column < 32 ? kNoHeight : 9.0f;
    EXPECT_EQ(heights.at<float>(5, column), expected) << column;
  }
  // Two zooms up, both blocks are a quarter of the tile's width, in its third quarter down.
  const cv::Mat grand = t.tile(1, 0, 16)->GetElevation();
  EXPECT_EQ(grand.at<float>(40, 0), 7.0f);
  EXPECT_EQ(grand.at<float>(40, 7), 7.0f);
  EXPECT_EQ(grand.at<float>(40, 8), kNoHeight);
  EXPECT_EQ(grand.at<float>(40, 16), 9.0f);
}

TEST(Stitching, TilesCarryTheTileClockAndMisfitRastersAreRefused) {
  Tiling t;
  const cv::Mat dom(256, 256, CV_8UC3, cv::Scalar::all(80));
  TileRasters frame = rastersOver(1, 1, 1, 1, dom, ramp(256, 256, true));
  frame.dsm = cv::Mat(60, 64, CV_32FC1, cv::Scalar(1.0f));
  EXPECT_FALSE(stitchTiles(t.access, frame, 10, 1));
  EXPECT_FALSE(blendTiles(t.access, frame, 10, 1));
  EXPECT_FALSE(t.tile(1, 1, 10));

  frame = rastersOver(1, 1, 1, 1, dom, ramp(256, 256, true));
  const double before = tileClockSeconds();
  ASSERT_TRUE(stitchTiles(t.access, frame, 10, 1));
  ASSERT_TRUE(stitchTiles(t.access, frame, 10, 1));  // merges into the existing tile
  EXPECT_GE(t.tile(1, 1, 10)->GetTimestamp(), before);
  EXPECT_LE(t.tile(1, 1, 10)->GetTimestamp(), tileClockSeconds());
}

// Rounds of the writers' race. ThreadSanitizer finds the races themselves in a few rounds and
// runs each about fifty times slower, so it plays fewer.
#if defined(__SANITIZE_THREAD__)
constexpr int kWriterRounds = 10;
#else
constexpr int kWriterRounds = 50;
#endif

// Eight writers each own an eighth of one new tile; every round all eighths must survive and
// the ancestors must show the final tile.
TEST(Concurrency, EightWritersIntoOneTileLoseNothing) {
  for (int round = 0; round < kWriterRounds; ++round) {
    Tiling t;
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; ++i) {
      writers.emplace_back([&t, i] {
        cv::Mat w(256, 256, CV_8UC1, cv::Scalar(0));
        w(cv::Rect(32 * i, 0, 32, 256)).setTo(100);
        const cv::Mat dom(256, 256, CV_8UC3, cv::Scalar::all(20 + 20 * i));
        blendTiles(t.access, rastersOver(9, 9, 1, 1, dom, w, float(i)), 12, 3);
      });
    }
    for (auto& w : writers) w.join();
    auto tile = t.tile(9, 9, 12);
    ASSERT_TRUE(tile);
    const cv::Mat heights = tile->GetElevation();
    const cv::Mat weight = tile->GetWeight();
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(heights.at<float>(30, 8 * i + 4), float(i)) << "round " << round << " part " << i;
      EXPECT_EQ(weight.at<uint8_t>(128, 32 * i + 16), 100);
    }
    cv::Mat reduced;
    cv::pyrDown(cv::Mat(tile->GetImage()), reduced);
    auto parent = t.tile(4, 4, 11);
    ASSERT_TRUE(parent);
    EXPECT_EQ(
        cv::norm(cv::Mat(parent->GetImage())(cv::Rect(128, 128, 128, 128)), reduced, cv::NORM_INF),
        0.0);
  }
}

// A tile read back from an earlier run may carry a stamp ahead of this run's clock; trimming
// by age must still evict it rather than stop at it.
TEST(Trimming, OldTilesLeaveAndStampsAheadOfTheClockCountAsOld) {
  Tiling t;
  const cv::Mat grey(256, 256, CV_8UC3, cv::Scalar::all(90));
  const cv::Mat weight(256, 256, CV_8UC1, cv::Scalar(9));
  auto early = tile_model::makeTile({grey.clone(), weight.clone(), cv::Mat(64, 64, CV_32FC1)}, 3, 4,
                                    15, tileClockSeconds() + 1e6, {}, {});
  early->SetModified(false);
  t.cache->SetTile(3, 4, 15, early);
  ASSERT_TRUE(blendTiles(t.access, rastersOver(4, 4, 1, 1, grey, weight), 15, 1));
  FrameEndTimes times;
  const auto frameEnds = [&] {
    if (const auto bound = times.record(tileClockSeconds(), 2))
      evictTilesOlderThan(*bound, false, *t.cache);
  };
  frameEnds();
  frameEnds();
  EXPECT_EQ(t.cache->size(), 2u);  // two times recorded, nothing evicted yet
  frameEnds();
  EXPECT_EQ(t.cache->size(), 0u);
  EXPECT_EQ(times.size(), 2u);
}

TEST(TilesetRefresh, ReportsTheLowestZoomWrittenAndNothingBeforeTheFirstTile) {
  std::vector<std::shared_ptr<zel::OutputItem>> records = {std::make_shared<TfTileset>("dom"),
                                                           std::make_shared<TfTileset>("dsm")};
  records[0]->id = "dom_01";
  EXPECT_TRUE(refreshedTilesets(records, fw::TileRange(), 18, 6).empty());
  fw::TileRange range;
  range.minX = 10, range.minY = 20, range.maxX = 12, range.maxY = 21;
  const auto first = refreshedTilesets(records, range, 18, 6);
  const auto second = refreshedTilesets(records, range, 18, 6);
  ASSERT_EQ(first.size(), 2u);
  const auto dom = std::dynamic_pointer_cast<zel::Tileset>(first[0]);
  EXPECT_EQ(dom->zooms, (std::array<int32_t, 2>{18, 13}));
  EXPECT_EQ(dom->geometry, (std::array<double, 4>{10, 20, 12, 21}));
  EXPECT_EQ(dom->state, zel::kOutputInProgress);
  EXPECT_TRUE(second[0]->isNewerThan(*first[0]));        // even within one millisecond
  EXPECT_EQ(records[0]->state, zel::kOutputNotStarted);  // the node's own records stay
  const auto low =
      std::dynamic_pointer_cast<zel::Tileset>(refreshedTilesets(records, range, 3, 6)[1]);
  EXPECT_EQ(low->zooms, (std::array<int32_t, 2>{3, 0}));
}

}  // namespace
