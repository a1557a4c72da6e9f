#include "src/TerrainFusion/src/sparse_surface.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>
#include <vector>

namespace {

// A camera looking straight down from 100 m over flat ground: 30 key points of depth 100
// spread over the image give the plane every 4 pixels between them, and no point beyond the
// key points' hull or through a wide gap.
TEST(SparseSurface, KeyPointsSpanTheGroundBetweenThem) {
  const fw::Camera camera(std::vector<double>{400, 300, 400, 400, 199.5, 149.5});
  const SE3 pose;  // camera at the origin, looking along +z
  std::vector<DepthSample> samples;
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 5; ++j)
      samples.push_back({cv::Point2f(40.0f + 30 * i, 40.0f + 30 * j), 100.0});
  samples.push_back({cv::Point2f(-5.0f, 10.0f), 100.0});  // outside the image: ignored
  const std::vector<pi::Point3d> points = sparseSurface(samples, camera, pose, 4);
  // About (150 / 4 + 1) * (120 / 4 + 1) grid points inside the hull, plus the samples.
  EXPECT_GT(points.size(), 1000u);
  for (const pi::Point3d& p : points) {
    ASSERT_NEAR(p.z, 100.0, 1e-6);
    const double u = 400 * p.x / p.z + 199.5, v = 400 * p.y / p.z + 149.5;
    ASSERT_GE(u, 40.0 - 1e-6);
    ASSERT_LE(u, 190.0 + 1e-6);
    ASSERT_GE(v, 40.0 - 1e-6);
    ASSERT_LE(v, 160.0 + 1e-6);
  }
  // Two clusters of key points far apart: nothing is made up between them.
  std::vector<DepthSample> apart;
  for (const float x : {10.0f, 20.0f, 370.0f, 380.0f})
    for (const float y : {10.0f, 20.0f}) apart.push_back({cv::Point2f(x, y), 50.0});
  for (const pi::Point3d& p : sparseSurface(apart, camera, pose, 2)) {
    const double u = 400 * p.x / p.z + 199.5;
    EXPECT_TRUE(u < 21.0 || u > 369.0) << u;
  }
  EXPECT_EQ(sparseSurface({{cv::Point2f(5, 5), 10.0}}, camera, pose, 4).size(), 1u);
}

// Dense points over the left half of the view: the sparse surface makes only the ground they
// leave bare, at least `reach` pixels from the nearest of them; points behind the camera
// cover nothing, and without dense points the whole surface is made.
TEST(SparseSurface, FillsOnlyTheGroundDensePointsLeaveBare) {
  const fw::Camera camera(std::vector<double>{400, 300, 400, 400, 199.5, 149.5});
  const SE3 pose;
  const auto ground = [](double u, double v) {
    return pi::Point3d((u - 199.5) / 4.0, (v - 149.5) / 4.0, 100.0);  // depth 100
  };
  std::vector<DepthSample> samples;
  std::vector<pi::Point3d> dense;
  for (int v = 2; v < 300; v += 8)
    for (int u = 2; u < 400; u += 8) samples.push_back({cv::Point2f(float(u), float(v)), 100.0});
  for (int v = 2; v < 300; v += 4)
    for (int u = 2; u < 200; u += 4) dense.push_back(ground(u + 1, v + 1));
  dense.push_back(pi::Point3d(50.0, 0.0, -100.0));  // behind the camera
  const std::vector<pi::Point3d> surface = sparseSurface(samples, camera, pose, 4);
  const std::vector<pi::Point3d> bare =
      sparseSurface(samples, camera, pose, 4, DenseCover(dense, camera, pose, 16));
  ASSERT_FALSE(bare.empty());
  for (const pi::Point3d& p : bare) {
    const double u = 400 * p.x / p.z + 199.5;
    EXPECT_GE(u, 199.0 + 16.0) << "a bare point next to the dense one at column 199";
  }
  // Everything from column 240 on is at least two cells of 16 pixels from the dense half.
  size_t right = 0;
  for (const pi::Point3d& p : surface) right += 400 * p.x / p.z + 199.5 >= 240.0;
  EXPECT_GE(bare.size(), right);
  EXPECT_LT(bare.size(), surface.size() / 2 + right);
  EXPECT_EQ(sparseSurface(samples, camera, pose, 4, DenseCover({}, camera, pose, 16)).size(),
            surface.size());
  EXPECT_TRUE(sparseSurface({}, camera, pose, 4, DenseCover(dense, camera, pose, 16)).empty());
}

// Grid points (u, v) and depths of every kept triangle, each tested over the whole of its
// bounding box: the plain form of the scan, which the surface must match point for point.
std::vector<cv::Vec3d> plainGridPoints(const std::vector<DepthSample>& samples, cv::Size image,
                                       int step) {
  cv::Subdiv2D triangulation(cv::Rect({}, image));
  std::map<std::pair<float, float>, double> depthAt;
  for (const DepthSample& s : samples) {
    if (depthAt.emplace(std::make_pair(s.pixel.x, s.pixel.y), s.depth).second)
      triangulation.insert(s.pixel);
  }
  std::vector<cv::Vec6f> triangles;
  triangulation.getTriangleList(triangles);
  std::vector<cv::Vec3d> out;
  for (const cv::Vec6f& t : triangles) {
    const cv::Point2d a(t[0], t[1]), b(t[2], t[3]), c(t[4], t[5]);
    const auto da = depthAt.find({t[0], t[1]}), db = depthAt.find({t[2], t[3]}),
               dc = depthAt.find({t[4], t[5]});
    if (da == depthAt.end() || db == depthAt.end() || dc == depthAt.end()) continue;
    const double longest = 0.25 * std::max(image.width, image.height);
    if (cv::norm(a - b) > longest || cv::norm(b - c) > longest || cv::norm(c - a) > longest)
      continue;
    const double det = (b.y - c.y) * (a.x - c.x) + (c.x - b.x) * (a.y - c.y);
    if (!(std::fabs(det) > 1e-9)) continue;
    const double inverseDet = 1.0 / det;
    for (int y = 0; y < image.height; y += step) {
      for (int x = 0; x < image.width; x += step) {
        const double wa = ((b.y - c.y) * (x - c.x) + (c.x - b.x) * (y - c.y)) * inverseDet;
        const double wb = ((c.y - a.y) * (x - c.x) + (a.x - c.x) * (y - c.y)) * inverseDet;
        const double wc = 1.0 - wa - wb;
        if (wa >= 0.0 && wb >= 0.0 && wc >= 0.0)
          out.push_back(
              {double(x), double(y), wa * da->second + wb * db->second + wc * dc->second});
      }
    }
  }
  return out;
}

// Scattered key points at scattered depths, some on the grid's own rows and columns, make
// skinny and wide triangles alike: the surface holds the same grid points in the same order.
TEST(SparseSurface, EveryTrianglesGridPointsAndNoOthers) {
  const fw::Camera camera(std::vector<double>{400, 300, 400, 400, 199.5, 149.5});
  const SE3 pose;
  cv::RNG rng(5);
  std::vector<DepthSample> samples;
  for (int i = 0; i < 150; ++i) {
    cv::Point2f pixel(rng.uniform(0.0f, 400.0f), rng.uniform(0.0f, 300.0f));
    if (i % 5 == 0) pixel = cv::Point2f(float(3 * rng.uniform(0, 133)), pixel.y);
    if (i % 7 == 0) pixel = cv::Point2f(pixel.x, float(3 * rng.uniform(0, 100)));
    samples.push_back({pixel, rng.uniform(50.0, 150.0)});
  }
  const std::vector<cv::Vec3d> expected = plainGridPoints(samples, {400, 300}, 3);
  const std::vector<pi::Point3d> points = sparseSurface(samples, camera, pose, 3);
  ASSERT_GT(expected.size(), 5000u);
  ASSERT_EQ(points.size(), samples.size() + expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const pi::Point3d& p = points[samples.size() + i];
    ASSERT_NEAR(400 * p.x / p.z + 199.5, expected[i][0], 1e-6) << i;
    ASSERT_NEAR(400 * p.y / p.z + 149.5, expected[i][1], 1e-6) << i;
    ASSERT_NEAR(p.z, expected[i][2], 1e-6) << i;
  }
}

TEST(SparseSurface, DenseCoverAnswersInsideTheImageOnly) {
  const fw::Camera camera(std::vector<double>{400, 300, 400, 400, 199.5, 149.5});
  const SE3 pose;
  // One dense point at pixel (100, 100): cells of 16 pixels, widened by one.
  const DenseCover cover({pi::Point3d((100 - 199.5) / 4.0, (100 - 149.5) / 4.0, 100.0)}, camera,
                         pose, 16);
  EXPECT_TRUE(cover.covers(100.0, 100.0));
  EXPECT_TRUE(cover.covers(80.0, 80.0));     // the cell before
  EXPECT_TRUE(cover.covers(127.9, 127.9));   // the cell after
  EXPECT_FALSE(cover.covers(128.0, 100.0));  // two cells on
  EXPECT_FALSE(cover.covers(63.9, 100.0));
  EXPECT_FALSE(cover.covers(-1.0, 100.0));
  EXPECT_FALSE(cover.covers(100.0, 300.0));
  EXPECT_FALSE(DenseCover().covers(100.0, 100.0));
  // Cells of other sizes end where their multiples do.
  for (const int reach : {1, 7, 24, 33}) {
    const DenseCover odd({pi::Point3d((250 - 199.5) / 4.0, (150 - 149.5) / 4.0, 100.0)}, camera,
                         pose, reach);
    const int first = (250 / reach - 1) * reach, end = (250 / reach + 2) * reach;
    for (int x = std::max(first - 3, 0); x < std::min(end + 3, 400); ++x)
      EXPECT_EQ(odd.covers(x + 0.5, 150.0), x >= first && x < end) << reach << " at " << x;
  }
}

// A cover joined with more points covers just what the cover of all the points together
// does, pixel for pixel, whichever side holds none, and leaves the first cover as it was.
TEST(SparseSurface, JoinedCoverIsTheCoverOfAllThePoints) {
  const fw::Camera camera(std::vector<double>{400, 300, 400, 400, 199.5, 149.5});
  const SE3 pose;
  cv::RNG rng(3);
  std::vector<pi::Point3d> first, more, all;
  for (int i = 0; i < 40; ++i) {
    all.emplace_back((rng.uniform(-20.0, 420.0) - 199.5) / 4.0,
                     (rng.uniform(-20.0, 320.0) - 149.5) / 4.0, 100.0);
    (i % 4 == 0 ? more : first).push_back(all.back());
  }
  const auto expectSame = [](const DenseCover& got, const DenseCover& expected) {
    for (int y = -1; y <= 300; ++y)
      for (int x = -1; x <= 400; ++x) ASSERT_EQ(got.covers(x, y), expected.covers(x, y)) << x;
  };
  for (const int reach : {16, 7}) {
    const DenseCover cover(first, camera, pose, reach), none({}, camera, pose, reach);
    expectSame(cover.joinedWith(more, camera, pose), DenseCover(all, camera, pose, reach));
    expectSame(cover.joinedWith({}, camera, pose), cover);
    expectSame(none.joinedWith(more, camera, pose), DenseCover(more, camera, pose, reach));
    expectSame(cover, DenseCover(first, camera, pose, reach));
  }
}

// The surface's points lie where the camera model unprojects its grid, whatever the model:
// an OpenCV model without distortion gives the pinhole's very points, and a distorted one
// puts every point on the ray of its own pixel, within a small part of a pixel.
TEST(SparseSurface, PointsFollowTheCameraModelsOwnRays) {
  const fw::Camera pinhole(std::vector<double>{400, 300, 400, 410, 199.5, 149.5});
  const fw::Camera plain(std::vector<double>{400, 300, 400, 410, 199.5, 149.5, 0, 0, 0, 0, 0});
  const fw::Camera distorted(
      std::vector<double>{400, 300, 400, 410, 199.5, 149.5, -0.2, 0.05, 0.001, -0.002, 0.01});
  ASSERT_EQ(plain.typeName(), "OpenCV");
  const SE3 pose(fw::Quaternion(0.1, -0.2, 0.05, std::sqrt(1.0 - 0.0525)),
                 pi::Point3d(3.0, -2.0, 40.0));
  std::vector<DepthSample> samples;
  for (int i = 0; i < 6; ++i)
    for (int j = 0; j < 5; ++j)
      samples.push_back({cv::Point2f(30.0f + 61.3f * i, 25.0f + 59.1f * j), 90.0 + i + 2 * j});
  const std::vector<pi::Point3d> expected = sparseSurface(samples, pinhole, pose, 4);
  const std::vector<pi::Point3d> same = sparseSurface(samples, plain, pose, 4);
  ASSERT_EQ(same.size(), expected.size());
  for (size_t i = 0; i < same.size(); ++i) ASSERT_EQ(same[i], expected[i]) << i;
  const std::vector<pi::Point3d> bent = sparseSurface(samples, distorted, pose, 4);
  ASSERT_EQ(bent.size(), expected.size());
  const SE3 cameraFromWorld = pose.inverse();
  double offGrid = 0.0;
  for (size_t i = samples.size(); i < bent.size(); ++i) {
    const fw::Point2d pixel = distorted.Project(cameraFromWorld.transformPoint(bent[i]));
    offGrid = std::max({offGrid, std::fabs(pixel.x - std::round(pixel.x / 4) * 4),
                        std::fabs(pixel.y - std::round(pixel.y / 4) * 4)});
  }
  // Rays between the exactly unprojected nodes are interpolated: with this strong, wide lens
  // they stray by a few hundredths of a pixel at the image's corners, far below the surface's
  // own accuracy (depths interpolated between key points).
  EXPECT_LT(offGrid, 0.1);
}

}  // namespace

// A pair's points judged by a surface over the image's left quarter (depth 100, tolerance
// 3 m): inside it, and beyond it within reach, points off the level are dropped and points
// on it kept; the farther beyond, the more rise of the ground is allowed (a tenth of the
// distance on the ground); points beyond reach, and any without a surface, are kept.
TEST(SparseSurface, PairPointsAreJudgedByTheNearestLevelOfTheSurface) {
  const fw::Camera camera(std::vector<double>{400, 300, 400, 400, 199.5, 149.5});
  const SE3 pose;
  std::vector<DepthSample> samples;
  for (int v = 2; v < 300; v += 8)
    for (int u = 2; u < 100; u += 8) samples.push_back({cv::Point2f(float(u), float(v)), 100.0});
  const std::vector<pi::Point3d> surface = sparseSurface(samples, camera, pose, 4);
  const auto at = [](double u, double depth) {
    return pi::Point3d((u - 199.5) / 400.0 * depth, (150 - 149.5) / 400.0 * depth, depth);
  };
  struct Case {
    double u, depth;
    bool kept;
  };
  const std::vector<Case> cases = {
      {50, 102.0, true},                        // on the surface, within the tolerance
      {50, 104.0, false},                       // on the surface, off it
      {120, 100.5, true},                       // just beyond the key points' hull
      {120, 130.0, false},                      // a slip at the image's edge
      {330, 107.0, true},                       // ~230 px beyond: 5.8 m of rise allowed on top
      {330, 115.0, false}, {395, 130.0, true},  // beyond reach: nothing to judge by
  };
  std::vector<pi::Point3d> dense;
  for (const Case& c : cases) dense.push_back(at(c.u, c.depth));
  const std::vector<pi::Point3d> kept = pointsNearSurface(dense, surface, camera, pose, 4, 3.0);
  for (const Case& c : cases) {
    const bool found = std::find(kept.begin(), kept.end(), at(c.u, c.depth)) != kept.end();
    EXPECT_EQ(found, c.kept) << "column " << c.u << ", depth " << c.depth;
  }
  EXPECT_EQ(pointsNearSurface(dense, {}, camera, pose, 4, 3.0).size(), dense.size());
}

// A roof 13 m above flat ground: with a relief limit of 0.5 the triangles joining roof and
// ground key points are left out, so no surface point stands between the two levels, while
// the roof's and the ground's own triangles stay; ground sloping 10 % keeps every triangle.
TEST(SparseSurface, AReliefLimitLeavesOutTrianglesThatJoinARoofToTheGround) {
  const fw::Camera camera(std::vector<double>{400, 300, 400, 400, 199.5, 149.5});
  const SE3 pose;
  const SurfaceRelief relief{cv::Vec3d(0.0, 0.0, -1.0), 0.5};  // the camera looks down
  std::vector<DepthSample> building, slope;
  for (int v = 10; v < 300; v += 30) {
    for (int u = 10; u < 400; u += 30) {
      const bool roof = u > 150 && u < 250 && v > 100 && v < 200;
      building.push_back({cv::Point2f(float(u), float(v)), roof ? 87.0 : 100.0});
      slope.push_back({cv::Point2f(float(u), float(v)), 100.0 + 0.1 * 0.25 * (u - 200)});
    }
  }
  const std::vector<pi::Point3d> all = sparseSurface(building, camera, pose, 4);
  const std::vector<pi::Point3d> limited =
      sparseSurface(building, camera, pose, 4, DenseCover(), relief);
  const auto between = [](const std::vector<pi::Point3d>& points) {
    return std::count_if(points.begin(), points.end(),
                         [](const pi::Point3d& p) { return p.z > 87.5 && p.z < 99.5; });
  };
  EXPECT_GT(between(all), 100);
  EXPECT_EQ(between(limited), 0);
  const auto at = [](const std::vector<pi::Point3d>& points, double depth) {
    return std::count_if(points.begin(), points.end(),
                         [&](const pi::Point3d& p) { return std::fabs(p.z - depth) < 1e-6; });
  };
  EXPECT_GT(at(limited, 87.0), 200);
  EXPECT_GT(at(limited, 100.0), 3000);
  EXPECT_EQ(sparseSurface(slope, camera, pose, 4, DenseCover(), relief).size(),
            sparseSurface(slope, camera, pose, 4).size());
}

// A draft narrowed by a cover at least as wide and a relief limit gives, point for point and
// in order, the surface made directly with them (a roof's ramps left out, samples and grid
// points under either cover alike), also from a draft of too few samples to triangulate.
TEST(SparseSurface, ADraftNarrowsToTheSurfaceMadeOverLessBareGround) {
  const fw::Camera camera(std::vector<double>{400, 300, 400, 400, 199.5, 149.5});
  const SE3 pose;
  const SurfaceRelief relief{cv::Vec3d(0.0, 0.0, -1.0), 0.5};
  cv::RNG rng(11);
  std::vector<DepthSample> samples;
  for (int i = 0; i < 200; ++i) {
    const cv::Point2f pixel(rng.uniform(0.0f, 400.0f), rng.uniform(0.0f, 300.0f));
    const bool roof = pixel.x > 150 && pixel.x < 250 && pixel.y > 100 && pixel.y < 200;
    samples.push_back({pixel, roof ? 87.0 : rng.uniform(99.0, 101.0)});
  }
  std::vector<pi::Point3d> left, right;
  for (int v = 0; v < 300; v += 6) {
    for (int u = 0; u < 120; u += 6) left.emplace_back((u - 199.5) / 4.0, (v - 149.5) / 4.0, 100.0);
    right.emplace_back((300 + v / 3 - 199.5) / 4.0, (v - 149.5) / 4.0, 100.0);
  }
  const DenseCover narrow(left, camera, pose, 16), none;
  const DenseCover wider = narrow.joinedWith(right, camera, pose);
  for (const auto& [from, to] : {std::make_pair(&narrow, &wider), std::make_pair(&none, &none)}) {
    const SurfaceDraft draft(samples, camera, pose, 4, *from, relief);
    EXPECT_EQ(draft.points(), sparseSurface(samples, camera, pose, 4, *from));
    EXPECT_EQ(draft.narrowed(*to), sparseSurface(samples, camera, pose, 4, *to, relief));
    EXPECT_LT(draft.narrowed(*to).size() + 100, draft.points().size());
  }
  const std::vector<DepthSample> two(samples.begin(), samples.begin() + 2);
  EXPECT_EQ(SurfaceDraft(two, camera, pose, 4, none, relief).narrowed(wider),
            sparseSurface(two, camera, pose, 4, wider, relief));
}
