#include "framework/diy_frame.h"
#include "src/TerrainFusion/src/TerrainFusion.h"
#include "src/TerrainFusion/src/halve_image.h"
#include "src/TerrainFusion/src/terrain_test_scene.h"
#include "testsupport/temp_dir.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace {

using Local = TerrainFusion::LocalDSMData;

// Web-Mercator inverse of a continuous pixel position (the test's own, not the node's).
cv::Vec2d latLngOfPixel(double x, double y, int zoom) {
  const double size = 256.0 * std::pow(2.0, zoom);
  const double lng = x / size * 360.0 - 180.0;
  const double lat = std::atan(std::sinh(M_PI * (1.0 - 2.0 * y / size))) * 180.0 / M_PI;
  return {lat, lng};
}

// Scene east, north of a raster position (pixel units from the raster's top-left corner).
cv::Vec2d sceneOfRaster(const Local& local, double px, double py, int zoom) {
  const cv::Vec2d ll = latLngOfPixel(double(local.firstTileOrigin.x) + px,
                                     double(local.firstTileOrigin.y) + py, zoom);
  const cv::Vec3d s =
      tftest::sceneOfGeodetic(ll[0], ll[1], tftest::exampleFlight().plan.options.ground_altitude);
  return {s[0], s[1]};
}

long peakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

class LocalRaster : public ::testing::Test {
 protected:
  void SetUp() override {
    node = tftest::makeNode(dir.path());
    ASSERT_TRUE(node->ready());
    ASSERT_TRUE(node->fixPlacementAndZoom(tftest::placementFrame(10000.0)));
    request.folder = dir.path();
  }
  vmtest::TempDir dir;
  std::shared_ptr<TerrainFusion> node;
  tftest::FrameRequest request;
};

// The DOM and DSM of a nadir frame over the road south of the buildings in the middle of
// the scene, through `request`'s lens, against the scene's truth: the colours, their place
// in the middle and in each corner of the footprint (where a lens's distortion moves them
// most), and the heights of flat cells.
void expectNadirFrameMatchesTheSceneTruth(TerrainFusion& node, tftest::FrameRequest request) {
  const double gsd = 100.0 / 850.0, latitude = 30.52;
  const double tiles = 6378137.0 * 2.0 * M_PI * std::cos(latitude * M_PI / 180.0) / (256.0 * gsd);
  const int zoom = int(std::log(std::trunc(tiles - 1.0)) / std::log(2.0));
  EXPECT_EQ(zoom, 20);
  EXPECT_EQ(node.zoomLevel(), zoom);
  EXPECT_NEAR(node.heightOffset(), -100.0, 0.5);

  request.position = cv::Vec3d(0.0, -20.0, 100.0);
  const tftest::SceneFrame frame = tftest::makeSceneFrame(request);
  auto local = std::make_shared<Local>();
  ASSERT_TRUE(node.makeMap_idw(frame.frame, local, frame.points));
  ASSERT_EQ(local->dom.size(), cv::Size(local->width, local->height));
  ASSERT_EQ(local->dsm.size(), cv::Size(local->width / 4, local->height / 4));

  // Truth orthophoto sampled at each DOM pixel's centre.
  const flight::SyntheticScene& scene = *tftest::exampleFlight().scene;
  const flight::SceneOptions& so = scene.options();
  cv::Mat mapX(local->height, local->width, CV_32FC1), mapY(mapX.size(), CV_32FC1);
  for (int y = 0; y < local->height; ++y) {
    for (int x = 0; x < local->width; ++x) {
      const cv::Vec2d en = sceneOfRaster(*local, x + 0.5, y + 0.5, zoom);
      mapX.at<float>(y, x) = float((en[0] - so.east_min) / so.texel - 0.5);
      mapY.at<float>(y, x) = float((so.north_max - en[1]) / so.texel - 0.5);
    }
  }
  cv::Mat truth;
  cv::remap(scene.orthophoto(), truth, mapX, mapY, cv::INTER_LINEAR);
  // The footprint: pixels with weight whose cell has a height, 4 pixels in from its edge.
  cv::Mat inside, hasHeight;
  cv::resize(local->dsm > -1e4, hasHeight, local->dom.size(), 0, 0, cv::INTER_NEAREST);
  cv::erode((local->weight > 0) & hasHeight, inside,
            cv::getStructuringElement(cv::MORPH_RECT, {9, 9}));
  ASSERT_GT(cv::countNonZero(inside), 300000);
  cv::Mat diff;
  cv::absdiff(local->dom, truth, diff);
  diff.convertTo(diff, CV_64FC3);
  const cv::Scalar squared = cv::mean(diff.mul(diff), inside);
  const double mse = (squared[0] + squared[1] + squared[2]) / 3.0;
  EXPECT_GE(10.0 * std::log10(255.0 * 255.0 / mse), 30.0);

  const cv::Rect box = cv::boundingRect(inside);
  const auto shiftIn = [&](const cv::Rect& part) {
    cv::Mat a, b, window;
    cv::cvtColor(local->dom(part), a, cv::COLOR_BGR2GRAY);
    cv::cvtColor(truth(part), b, cv::COLOR_BGR2GRAY);
    a.convertTo(a, CV_64F);
    b.convertTo(b, CV_64F);
    cv::createHanningWindow(window, a.size(), CV_64F);
    return cv::phaseCorrelate(a, b, window);
  };
  const cv::Point2d shift = shiftIn(cv::Rect(box.x + box.width / 8, box.y + box.height / 8,
                                             box.width * 3 / 4, box.height * 3 / 4));
  EXPECT_LT(std::hypot(shift.x, shift.y), 0.3) << shift;
  // The corners' windows, a sixth of the footprint across, lie almost wholly inside it.
  const cv::Size corner(box.width / 6, box.height / 6);
  for (const cv::Point at :
       {cv::Point(box.x + corner.width / 2, box.y + corner.height / 2),
        cv::Point(box.br().x - corner.width * 3 / 2, box.y + corner.height / 2),
        cv::Point(box.x + corner.width / 2, box.br().y - corner.height * 3 / 2),
        cv::Point(box.br().x - corner.width * 3 / 2, box.br().y - corner.height * 3 / 2)}) {
    const cv::Rect part(at, corner);
    ASSERT_GE(cv::countNonZero(inside(part)), part.area() * 9 / 10) << part;
    const cv::Point2d cornerShift = shiftIn(part);
    EXPECT_LT(std::hypot(cornerShift.x, cornerShift.y), 0.5) << "at " << at << ": " << cornerShift;
  }

  // DSM against the true ellipsoidal heights on flat cells.
  std::vector<double> errors;
  for (int r = 0; r < local->dsm.rows; ++r) {
    for (int c = 0; c < local->dsm.cols; ++c) {
      if (!inside.at<uchar>(4 * r + 2, 4 * c + 2)) continue;
      double lo = 1e9, hi = -1e9;
      for (int k = 0; k < 5; ++k) {
        const double dx = k == 4 ? 2.0 : (k % 2) * 4.0, dy = k == 4 ? 2.0 : (k / 2) * 4.0;
        const cv::Vec2d en = sceneOfRaster(*local, 4 * c + dx, 4 * r + dy, zoom);
        const double h = scene.surfaceHeight(en[0], en[1]);
        lo = std::min(lo, h);
        hi = std::max(hi, h);
      }
      if (hi - lo > 0.02) continue;
      const cv::Vec2d en = sceneOfRaster(*local, 4 * c + 2.0, 4 * r + 2.0, zoom);
      const cv::Vec3d truthPoint(en[0], en[1], scene.surfaceHeight(en[0], en[1]));
      const double ellipsoidal = flight::geodeticFromEcef(tftest::ecefOfScene(truthPoint))[2];
      errors.push_back(std::fabs(local->dsm.at<float>(r, c) - ellipsoidal));
    }
  }
  ASSERT_GT(errors.size(), 5000u);
  std::sort(errors.begin(), errors.end());
  EXPECT_LE(errors[errors.size() / 2], 0.05);
  EXPECT_LE(errors[errors.size() * 99 / 100], gsd);
}

TEST_F(LocalRaster, NadirFrameMatchesTheSceneTruth) {
  expectNadirFrameMatchesTheSceneTruth(*node, request);
}

TEST_F(LocalRaster, BarrelLensFrameMatchesTheSceneTruth) {
  // The survey lens's barrel distortion moves the frame's corners by about 8 pixels: the
  // colours must come from where the lens imaged the ground, not where a pinhole would.
  request.camera.k1 = -0.03;
  request.camera.k2 = 0.01;
  request.distortion = {request.camera.k1, request.camera.k2, 0.0, 0.0, 0.0};
  expectNadirFrameMatchesTheSceneTruth(*node, request);
}

// At zoom 18 a DOM pixel spans about 4.4 x 4.4 pixels of the 1000 x 750 frame.
class CoarseLocalRaster : public LocalRaster {
 protected:
  void SetUp() override {
    node = tftest::makeNode(dir.path(), {{"dom", {{"max_zoom_level", 18}}}});
    ASSERT_TRUE(node->ready());
    ASSERT_TRUE(node->fixPlacementAndZoom(tftest::placementFrame(10000.0)));
    ASSERT_EQ(node->zoomLevel(), 18);
    request.folder = dir.path();
    request.position = cv::Vec3d(0.0, -20.0, 100.0);
  }

  // Pixels with weight whose cell has a height, `margin` pixels in from the footprint's edge.
  static cv::Mat footprint(const Local& local, int margin) {
    cv::Mat inside, hasHeight;
    cv::resize(local.dsm > -1e4, hasHeight, local.dom.size(), 0, 0, cv::INTER_NEAREST);
    cv::erode((local.weight > 0) & hasHeight, inside,
              cv::getStructuringElement(cv::MORPH_RECT, {2 * margin + 1, 2 * margin + 1}));
    return inside;
  }
};

TEST_F(CoarseLocalRaster, PixelsAverageTheImageOverTheirFootprint) {
  const tftest::SceneFrame frame = tftest::makeSceneFrame(request);
  auto local = std::make_shared<Local>();
  ASSERT_TRUE(node->makeMap_idw(frame.frame, local, frame.points));
  const cv::Mat inside = footprint(*local, 2);
  ASSERT_GT(cv::countNonZero(inside), 20000);

  // The truth orthophoto averaged over each DOM pixel (0.51 m, about 5 texels), read at the
  // pixel's centre.
  const flight::SyntheticScene& scene = *tftest::exampleFlight().scene;
  const flight::SceneOptions& so = scene.options();
  cv::Mat mapX(local->height, local->width, CV_32FC1), mapY(mapX.size(), CV_32FC1);
  for (int y = 0; y < local->height; ++y) {
    for (int x = 0; x < local->width; ++x) {
      const cv::Vec2d en = sceneOfRaster(*local, x + 0.5, y + 0.5, 18);
      mapX.at<float>(y, x) = float((en[0] - so.east_min) / so.texel - 0.5);
      mapY.at<float>(y, x) = float((so.north_max - en[1]) / so.texel - 0.5);
    }
  }
  cv::Mat averaged, diff;
  cv::blur(scene.orthophoto(), averaged, {5, 5});
  cv::remap(averaged, averaged, mapX, mapY, cv::INTER_LINEAR);
  cv::absdiff(local->dom, averaged, diff);
  diff.convertTo(diff, CV_64FC3);
  const cv::Scalar squared = cv::mean(diff.mul(diff), inside);
  // Sampling the image at pixel centres instead gives about 29.5 dB.
  EXPECT_GE(10.0 * std::log10(255.0 * 255.0 * 3.0 / (squared[0] + squared[1] + squared[2])), 31.0);

  // A checkerboard of single image pixels is an even grey, not a pattern of its samples.
  std::string path;
  frame.frame->call("GetImagePath", &path);
  cv::Mat board(750, 1000, CV_8UC3);
  for (int v = 0; v < board.rows; ++v)
    for (int u = 0; u < board.cols; ++u)
      board.at<cv::Vec3b>(v, u) = cv::Vec3b::all((u + v) % 2 * 255);
  ASSERT_TRUE(cv::imwrite(path, board));
  ASSERT_TRUE(node->makeMap_idw(frame.frame, local, frame.points));
  cv::Mat grey;
  cv::extractChannel(local->dom, grey, 0);
  cv::Scalar mean, deviation;
  cv::meanStdDev(grey, mean, deviation, footprint(*local, 2));
  EXPECT_NEAR(mean[0], 127.5, 3.0);
  EXPECT_LT(deviation[0], 8.0);
}

TEST_F(CoarseLocalRaster, UndistortedMarginGivesNoColour) {
  // Pincushion distortion: the pinhole image's edge looks beyond the frame's image, where
  // there is nothing to colour a pixel with. The grey frame must give grey pixels only.
  request.distortion = {0.02, 0.0, 0.0, 0.0, 0.0};
  const tftest::SceneFrame frame = tftest::makeSceneFrame(request);
  std::string path;
  frame.frame->call("GetImagePath", &path);
  ASSERT_TRUE(cv::imwrite(path, cv::Mat(750, 1000, CV_8UC3, cv::Scalar::all(128))));
  auto local = std::make_shared<Local>();
  ASSERT_TRUE(node->makeMap_idw(frame.frame, local, frame.points));
  const cv::Mat coloured = local->weight > 0;
  ASSERT_GT(cv::countNonZero(coloured), 20000);
  cv::Mat off;
  cv::absdiff(local->dom, cv::Scalar::all(128), off);
  cv::extractChannel(off, off, 0);
  EXPECT_EQ(cv::countNonZero((off > 1) & coloured), 0);
}

TEST_F(CoarseLocalRaster, AFrameCarryingItsImageReducedIsNotDecodedAgain) {
  // The file is grey 128; the frame carries a copy reduced by 4 (a DOM pixel here asks for
  // 4) that is grey 60: the DOM is coloured from the copy. A copy reduced by 3, which 4 is
  // no multiple of, leaves the file to be decoded.
  const tftest::SceneFrame frame = tftest::makeSceneFrame(request);
  std::string path;
  frame.frame->call("GetImagePath", &path);
  ASSERT_TRUE(cv::imwrite(path, cv::Mat(750, 1000, CV_8UC3, cv::Scalar::all(128))));
  const auto carrier = std::dynamic_pointer_cast<MapFrame>(frame.frame);
  ASSERT_TRUE(carrier);
  for (const int reduction : {4, 3}) {
    const cv::Mat copy((750 + reduction - 1) / reduction, (1000 + reduction - 1) / reduction,
                       CV_8UC3, cv::Scalar::all(60));
    carrier->setReducedImage(fw::GImage(copy), reduction);
    auto local = std::make_shared<Local>();
    ASSERT_TRUE(node->makeMap_idw(frame.frame, local, frame.points));
    const cv::Mat coloured = local->weight > 0;
    ASSERT_GT(cv::countNonZero(coloured), 20000);
    cv::Mat grey;
    cv::extractChannel(local->dom, grey, 0);
    const int expected = reduction == 4 ? 60 : 128;
    EXPECT_EQ(cv::countNonZero((grey != expected) & coloured), 0) << reduction;
  }
}

TEST_F(CoarseLocalRaster, SameFrameGivesTheSameBytes) {
  // A distorted camera, so that the image's seen margin is reduced with it; rows are coloured
  // on several threads.
  request.distortion = {-0.05, 0.0, 0.0, 0.0, 0.0};
  const tftest::SceneFrame frame = tftest::makeSceneFrame(request);
  auto first = std::make_shared<Local>(), second = std::make_shared<Local>();
  ASSERT_TRUE(node->makeMap_idw(frame.frame, first, frame.points));
  ASSERT_TRUE(node->makeMap_idw(frame.frame, second, frame.points));
  ASSERT_GT(cv::countNonZero(first->weight), 20000);
  EXPECT_EQ(cv::norm(first->dom, second->dom, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(first->weight, second->weight, cv::NORM_INF), 0.0);
}

TEST_F(LocalRaster, BadPointsAndFramesFailWithoutHarm) {
  request.camera = flight::PinholeCamera{320, 240, 272, 272, 159.5, 119.5};
  request.pointStep = 4;
  const tftest::SceneFrame frame = tftest::makeSceneFrame(request);
  auto local = std::make_shared<Local>();

  // One point 20 km off would need a raster of gigabytes: refused before allocating.
  std::vector<pi::Point3d> points = frame.points;
  const cv::Vec3d far = tftest::ecefOfScene({20000.0, 0.0, 0.0});
  points.emplace_back(far[0], far[1], far[2]);
  const long before = peakRssKb();
  EXPECT_FALSE(node->makeMap_idw(frame.frame, local, points));
  EXPECT_LT(peakRssKb() - before, 100 * 1024);
  EXPECT_TRUE(local->dom.empty());

  // Non-finite points are skipped; only NaN gives no raster, never NaN heights.
  const double nan = std::nan("");
  std::vector<pi::Point3d> nans(50, pi::Point3d(nan, nan, nan));
  EXPECT_FALSE(node->makeMap_idw(frame.frame, local, nans));
  points = frame.points;
  points.insert(points.begin(), nans.begin(), nans.end());
  points.emplace_back(1.0 / 0.0, 0.0, 0.0);
  ASSERT_TRUE(node->makeMap_idw(frame.frame, local, points));
  EXPECT_TRUE(cv::checkRange(local->dsm, true, nullptr, -1e10, 1e10));

  EXPECT_FALSE(node->makeMap_idw(nullptr, local, frame.points));
  EXPECT_FALSE(node->makeMap_idw(frame.frame, local, {}));

  // An undecodable image and one of the wrong size are errors.
  std::string path;
  frame.frame->call("GetImagePath", &path);
  cv::imwrite(path, cv::Mat(100, 100, CV_8UC3, cv::Scalar(1, 2, 3)));
  EXPECT_FALSE(node->makeMap_idw(frame.frame, local, frame.points));
  { std::ofstream(path, std::ios::binary) << "not an image"; }
  EXPECT_FALSE(node->makeMap_idw(frame.frame, local, frame.points));
}

TEST(HeightGrid, SinglePointFillsItsRingInTwoPasses) {
  vmtest::TempDir dir;
  auto node = tftest::makeNode(dir.path());
  cv::Mat points(1, 1, CV_32FC3, cv::Scalar(10.5f, -10.5f, 12.5f));  // cell (10, 10)
  std::vector<fw::GImage> grids;
  sv::Var parameters(
      std::map<std::string, sv::Var>{{"gsd", sv::Var(1.0)}, {"gsd_lat", sv::Var(1.0)}});
  ASSERT_TRUE(node->fillGridIdw(fw::GImage(points), grids, 0.0, 0.0, 21, 21, parameters));
  const cv::Mat h(grids[0]), w(grids[1]);
  for (int r = 0; r < 21; ++r) {
    for (int c = 0; c < 21; ++c) {
      const int ring = std::max(std::abs(r - 10), std::abs(c - 10));
      SCOPED_TRACE(testing::Message() << r << "," << c);
      if (ring == 0) {
        EXPECT_FLOAT_EQ(h.at<float>(r, c), 12.5f);
        EXPECT_FLOAT_EQ(w.at<float>(r, c), 1.0f);
      } else if (ring <= 2) {
        EXPECT_FLOAT_EQ(h.at<float>(r, c), 12.5f);
        EXPECT_FLOAT_EQ(w.at<float>(r, c), ring == 1 ? 0.5f : 0.25f);
      } else {
        EXPECT_FLOAT_EQ(h.at<float>(r, c), TerrainFusion::kNoHeight);
        EXPECT_FLOAT_EQ(w.at<float>(r, c), 1.0f);
      }
    }
  }
  // Points outside the grid on either side, and non-finite ones, are skipped.
  cv::Mat outside(3, 1, CV_32FC3);
  outside.at<cv::Vec3f>(0) = {-0.5f, -1.0f, 1.0f};
  outside.at<cv::Vec3f>(1) = {1.0f, 0.5f, 1.0f};
  outside.at<cv::Vec3f>(2) = {1.0f, -1.0f, std::nanf("")};
  EXPECT_FALSE(node->fillGridIdw(fw::GImage(outside), grids, 0.0, 0.0, 21, 21, parameters));
}

TEST(HeightGrid, PointsOnCellEdgesGoToTheCellAfterThem) {
  vmtest::TempDir dir;
  auto node = tftest::makeNode(dir.path());
  // Cells of 0.5 x 0.25 from (0, 0), x east and y north: 40 columns, 40 rows.
  sv::Var parameters(
      std::map<std::string, sv::Var>{{"gsd", sv::Var(0.5)}, {"gsd_lat", sv::Var(0.25)}});
  const auto grid = [&](const std::vector<cv::Vec3f>& list, cv::Mat& heights) {
    std::vector<fw::GImage> grids;
    const cv::Mat points = cv::Mat(list, true).reshape(3, 1);
    if (!node->fillGridIdw(fw::GImage(points), grids, 0.0, 0.0, 40, 40, parameters)) return false;
    heights = cv::Mat(grids[0]);
    return true;
  };
  // Far apart (the grid's closing keeps lone cells as they are), an odd number of them.
  cv::Mat h;
  ASSERT_TRUE(grid({{-0.0f, -0.0f, 1.0f},
                    {5.0f, -2.5f, 2.0f},
                    {5.49f, -2.74f, 3.0f},
                    {10.0f, -5.0f, 4.0f},
                    {19.99f, -9.99f, 5.0f}},
                   h));
  EXPECT_FLOAT_EQ(h.at<float>(0, 0), 1.0f);
  EXPECT_FLOAT_EQ(h.at<float>(10, 10), 3.0f);  // the higher of its two points
  EXPECT_FLOAT_EQ(h.at<float>(20, 20), 4.0f);
  EXPECT_FLOAT_EQ(h.at<float>(39, 39), 5.0f);
  // The far edges and anything before the near ones lie outside.
  EXPECT_FALSE(grid({{20.0f, -1.0f, 1.0f}, {1.0f, -10.0f, 1.0f}, {-0.001f, -1.0f, 1.0f}}, h));
  EXPECT_FALSE(grid({{1.0f, 0.001f, 1.0f}}, h));
}

TEST(HeightGrid, HalveImageKeepsEveryOtherPixel) {
  cv::Mat source(5, 7, CV_32FC1);
  for (int i = 0; i < 35; ++i) source.at<float>(i / 7, i % 7) = float(i);
  cv::Mat half;
  halveImage(source, half);
  ASSERT_EQ(half.size(), cv::Size(3, 2));
  EXPECT_FLOAT_EQ(half.at<float>(1, 2), source.at<float>(2, 4));
  halveImage(cv::Mat(1, 9, CV_8UC1), half);
  EXPECT_TRUE(half.empty());
}

}  // namespace
