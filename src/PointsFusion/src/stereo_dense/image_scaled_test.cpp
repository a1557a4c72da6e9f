#include "src/PointsFusion/src/stereo_dense/image_scaled.h"
#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/pinhole_projector.h"
#include "src/PointsFusion/src/stereo_dense/rendered_pair_for_tests.h"
#include "src/sfm/src/front_end_test_support.h"
#include "src/sfm/src/georeferencing_front_end.h"
#include "testsupport/temp_dir.h"
#include "tools/example_flight.h"
#include "values/var.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

namespace {

using densetest::LogLines;

// A frame at the origin looking along +z whose key points see points at the given depths;
// its GPS record gives a height above ground of 120 m unless `gps` says otherwise.
std::shared_ptr<MapFrame> frameWithDepths(const std::vector<double>& depths,
                                          const std::vector<double>* gps = nullptr) {
  std::vector<pi::Point3d> points;
  for (size_t i = 0; i < depths.size(); ++i)
    points.emplace_back(double(i % 7) - 3.0, double(i % 5) - 2.0, depths[i]);
  fwtest::LocatedFrameSpec spec;
  if (gps) spec.gps = *gps;
  return fwtest::makeLocatedFrame(spec, points);
}

// Rotation about the camera's y axis: depth along the turned axis is z cos a - x sin a.
SE3 turnedAboutY(double degrees) {
  const double half = degrees * CV_PI / 360.0;
  return SE3(fw::Quaternion(0, std::sin(half), 0, std::cos(half)), pi::Point3d(0, 0, 0));
}

TEST(ImageScaledRecord, ReadsItsFileOrSaysWhichPathFailed) {
  LogLines log;
  vmtest::TempDir dir;
  const std::string path = (dir.path() / "frame.png").string();
  cv::imwrite(path, cv::Mat(20, 30, CV_8UC3, cv::Scalar(1, 2, 3)));
  fwtest::LocatedFrameSpec spec;
  spec.imagePath = path;
  spec.image = fw::GImage(cv::Mat(20, 30, CV_8UC3));
  auto frame = fwtest::makeLocatedFrame(spec, {});
  {
    ImageScaled record(frame);
    EXPECT_EQ(record.image.size(), cv::Size(30, 20));
    EXPECT_EQ(record.depthMin, 0.0f);
    EXPECT_TRUE(std::isinf(record.depthMax));
  }
  EXPECT_EQ(frame->getImage(0).data, nullptr) << "the record releases the frame's pixels";

  spec.imagePath = (dir.path() / "missing.jpg").string();
  ImageScaled missing(fwtest::makeLocatedFrame(spec, {}));
  EXPECT_TRUE(missing.image.empty());
  EXPECT_EQ(log.count(fw::kLogError, "ImageScaled: Wrong Path! " + spec.imagePath), 1);

  // Records travel between stages inside values.
  auto shared = std::make_shared<ImageScaled>(frame, cv::Mat(2, 2, CV_8UC3));
  EXPECT_EQ(sv::Var(shared).castAs<std::shared_ptr<ImageScaled>>(), shared);
}

TEST(DepthRange, ClustersDropStrayDepthsAndSparseFramesTakeQuantiles) {
  LogLines log;
  double range[2];
  // 100 ground depths around 100 m and two stray points: the strays are no cluster cores.
  std::vector<double> depths;
  for (int i = 0; i < 100; ++i) depths.push_back(95.0 + i * 0.1);
  depths.push_back(20.0);
  depths.push_back(300.0);
  ASSERT_TRUE(ImageScaled::EstimateDepthRange(frameWithDepths(depths), SE3(), range));
  EXPECT_NEAR(range[0], 95.0, 1e-9);
  EXPECT_NEAR(range[1], 104.9, 1e-9);

  // 40 observations: the clustering needs 40 / 50 = 0 neighbours and does not run.
  std::vector<double> spread;
  for (int i = 0; i < 40; ++i) spread.push_back(10.0 + i);
  ASSERT_TRUE(ImageScaled::EstimateDepthRange(frameWithDepths(spread), SE3(), range));
  EXPECT_NEAR(range[0], 10.0, 1e-9);
  EXPECT_NEAR(range[1], 49.0, 1e-9);
  EXPECT_EQ(log.count(fw::kLogInfo, "No cluster detected, tackling by sorting depth"), 1);
  EXPECT_EQ(log.count(fw::kLogInfo, "min_num = 0   max_num = 39"), 1);

  // 100 depths in pairs 60 m apart, 10 m to 2951 m: depths below a third of the median
  // (1451 m) are outliers; the other 84 form one cluster per pair, whose extent bounds the
  // range.
  std::vector<double> pairs;
  for (int k = 0; k < 50; ++k) pairs.insert(pairs.end(), {10.0 + 60 * k, 11.0 + 60 * k});
  ASSERT_TRUE(ImageScaled::EstimateDepthRange(frameWithDepths(pairs), SE3(), range));
  EXPECT_NEAR(range[0], 490.0, 1e-9);
  EXPECT_NEAR(range[1], 2951.0, 1e-9);

  const std::vector<double> noHeight;
  EXPECT_FALSE(ImageScaled::EstimateDepthRange(frameWithDepths({}, &noHeight), SE3(), range));
}

TEST(DepthRange, PointsBehindTheViewOrJustInFrontOfItNeverWidenIt) {
  // Ground 98 to 102 m below, and three points a wrong triangulation put 3 m in front.
  std::vector<double> depths;
  for (int i = 0; i < 100; ++i) depths.push_back(98.0 + i * 0.04);
  depths.insert(depths.end(), {3.0, 3.0, 3.0});
  double range[2];
  ASSERT_TRUE(ImageScaled::EstimateDepthRange(frameWithDepths(depths), SE3(), range));
  EXPECT_NEAR(range[0], 98.0, 1e-9);
  EXPECT_NEAR(range[1], 101.96, 1e-9);

  // The rectified view of a pair at a turn looks 60 degrees aside: ground points near the
  // axis lie about 50 m in front of it, three far to the side 32 m behind it.
  fwtest::LocatedFrameSpec spec;
  spec.camera = {640, 480, 100, 100, 320, 240, 0, 0, 0, 0, 0};
  std::vector<pi::Point3d> points;
  for (int i = 0; i < 100; ++i) points.emplace_back(-3.0 + 0.06 * i, 0.0, 100.0);
  for (int i = 0; i < 3; ++i) points.emplace_back(60.0, double(i), 40.0);
  ASSERT_TRUE(ImageScaled::EstimateDepthRange(fwtest::makeLocatedFrame(spec, points),
                                              turnedAboutY(60), range));
  EXPECT_GT(range[0], 47.0);
  EXPECT_LT(range[1], 53.0);

  // A view that most of the ground lies behind gets the range as it is, which the pair
  // refuses.
  ASSERT_TRUE(ImageScaled::EstimateDepthRange(fwtest::makeLocatedFrame(spec, points),
                                              turnedAboutY(120), range));
  EXPECT_LT(range[0], 0.0);
}

TEST(DepthRange, TooFewSparseDepthsTakeTheHeightAboveGround) {
  LogLines log;
  double range[2];
  // Five depths and a GPS height of 120 m: the ground grid of a downward camera, widened.
  ASSERT_TRUE(ImageScaled::EstimateDepthRange(frameWithDepths({50, 51, 52, 53, 54}), SE3(), range));
  EXPECT_NEAR(range[0], 60.0, 1e-9);
  EXPECT_NEAR(range[1], 240.0, 1e-9);
  EXPECT_EQ(log.count(fw::kLogInfo, "the range comes from its height 120 above ground"), 1);

  // Without a height the few depths are all there is.
  const std::vector<double> noHeight;
  ASSERT_TRUE(ImageScaled::EstimateDepthRange(frameWithDepths({50, 51, 52, 53, 54}, &noHeight),
                                              SE3(), range));
  EXPECT_NEAR(range[0], 50.0, 1e-9);
  EXPECT_NEAR(range[1], 54.0, 1e-9);
}

TEST(DepthRange, HoldsEveryTrueDepthOfFramesLocatedByTheFrontEnd) {
  DENSETEST_SKIP_UNDER_TSAN();
  flight::ExampleFlightOptions options;
  options.flight.camera.width = 320;
  options.flight.camera.height = 240;
  options.flight.camera.fx = options.flight.camera.fy = 272;
  options.flight.frames_per_strip = 2;
  const flight::ExampleFlight flight = flight::makeExampleFlight(options);
  sfm::testing::RecordingChain chain;
  {
    sfm::GeoreferencingFrontEnd frontEnd(&chain, {});
    const flight::PinholeCamera& c = flight.plan.options.camera;
    for (size_t i = 0; i < flight.plan.frames.size(); ++i) {
      const flight::PlannedFrame& f = flight.plan.frames[i];
      frontEnd.addFrame(sfm::testing::inputFrame(
          i,
          sfm::testing::gpsRecord(f.recorded_geodetic[0], f.recorded_geodetic[1],
                                  f.recorded_geodetic[2], f.relative_altitude,
                                  f.recorded_attitude[0], f.recorded_attitude[1],
                                  f.recorded_attitude[2]),
          {double(c.width), double(c.height), c.fx, c.fy, c.cx, c.cy, 0, 0, 0, 0, 0}));
    }
    frontEnd.finishInput();
  }
  ASSERT_EQ(chain.frames.size(), flight.plan.frames.size());

  // Each pair as the stage forms it, the strip turn included; the matcher is not needed.
  class NoMatch : public DisparityCalculator {
    sv::Var Compute(cv::Mat left, cv::Mat, int, int) override {
      return disparityResult(cv::Mat::zeros(left.size(), CV_32F));
    }
  };
  DenseDepth stage(4.0f, std::make_shared<NoMatch>());
  const cv::Mat grey(240, 320, CV_8UC1, cv::Scalar(90));
  for (size_t i = 0; i + 1 < chain.frames.size(); ++i) {
    auto reference = std::make_shared<ImageScaled>(chain.frames[i], grey);
    stage.ComputeDepth(reference, std::make_shared<ImageScaled>(chain.frames[i + 1], grey));
    // Rotation from the frame's camera into its rectified view.
    const SE3 rectFromCamera =
        SE3::compose(reference->pose.inverse(), chain.frames[i]->getPoseSE3());
    const flight::RenderedView truth = flight::renderFrame(flight, i);
    const flight::PinholeCamera& c = flight.plan.options.camera;
    double lo = 1e9, hi = -1e9;
    for (int r = 0; r < truth.depth.rows; ++r)
      for (int col = 0; col < truth.depth.cols; ++col) {
        const double z = truth.depth.at<float>(r, col);
        if (z <= 0) continue;
        const pi::Point3d p((col - c.cx) / c.fx * z, (r - c.cy) / c.fy * z, z);
        const double depth = rectFromCamera.transformPoint(p).z;
        lo = std::min(lo, depth);
        hi = std::max(hi, depth);
      }
    EXPECT_LE(reference->depthMin, lo) << "pair " << i;
    EXPECT_GE(reference->depthMax, hi) << "pair " << i;
  }
}

TEST(PinholeProjector, ProjectsBackWhatItUnprojectsAndKeepsOffTheBorder) {
  const double K[9] = {500, 0, 320, 0, 510, 240, 0, 0, 1};
  const cv::Matx33d Kinv = cv::Matx33d(K).inv();
  const double R[9] = {0, -1, 0, 1, 0, 0, 0, 0, 1};
  const double t[3] = {1, 2, 3};
  const PinholeProjector::Vec3 X = PinholeProjector::unproject(100, 50, 20, Kinv.val, R, t);
  const PinholeProjector::Vec3 uvw = PinholeProjector::project(X, K, R, t);
  EXPECT_NEAR(uvw[0] / uvw[2], 100, 1e-9);
  EXPECT_NEAR(uvw[1] / uvw[2], 50, 1e-9);
  EXPECT_NEAR(uvw[2], 20, 1e-9);

  const cv::Mat m(10, 10, CV_8U);
  EXPECT_TRUE(PinholeProjector::isInside(m, 1, 1));
  EXPECT_TRUE(PinholeProjector::isInside(m, 8, 8));
  EXPECT_FALSE(PinholeProjector::isInside(m, 0, 5));
  EXPECT_FALSE(PinholeProjector::isInside(m, 9, 5));
  EXPECT_FALSE(PinholeProjector::isInside(m, 5, 9));
}

TEST(PrepareFrame, ClonesKeyPointsObservationsAndPoseAndReleasesTheSource) {
  LogLines log;
  fwtest::LocatedFrameSpec spec;
  spec.id = 5;
  spec.image = fw::GImage(cv::Mat(480, 640, CV_8UC3, cv::Scalar(7)));
  auto source = fwtest::makeLocatedFrame(spec, {{0, 0, 50}, {1, 1, 60}, {-2, 1, 70}});
  source->setPose(Sim3(fw::Quaternion(0, 0, 0.6, 0.8), pi::Point3d(1, 2, 3), 2.5));
  const std::shared_ptr<fw::MapFrame> clone = DenseDepth::PrepareFrame(source);
  ASSERT_NE(clone, source);
  EXPECT_EQ(clone->id, 5u);
  EXPECT_EQ(clone->getObservations(), source->getObservations());
  EXPECT_EQ(clone->getPoseSim3().s, 2.5);
  EXPECT_EQ(clone->getPoseSim3().t, pi::Point3d(1, 2, 3));
  EXPECT_EQ(clone->getImage(0).rows, 480);
  EXPECT_EQ(source->getImage(0).data, nullptr);
  std::vector<double> gps;
  clone->call("GetGPS", &gps);
  EXPECT_EQ(gps, spec.gps);
  double cloned[2], original[2];
  ASSERT_TRUE(ImageScaled::EstimateDepthRange(clone, SE3(), cloned));
  ASSERT_TRUE(ImageScaled::EstimateDepthRange(source, SE3(), original));
  EXPECT_EQ(cloned[0], original[0]);
  EXPECT_EQ(cloned[1], original[1]);

  auto other = std::make_shared<fw::MapFrame>(9, 0.0);
  EXPECT_EQ(DenseDepth::PrepareFrame(other), other);
  EXPECT_EQ(log.count(fw::kLogInfo, "Not correct mapframe."), 1);
}

}  // namespace
