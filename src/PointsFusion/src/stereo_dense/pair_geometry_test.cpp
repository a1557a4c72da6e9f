#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/rendered_pair_for_tests.h"
#include "src/PointsFusion/src/stereo_dense/sgm_cpu.h"
#include "testsupport/sanitizer_build.h"
#include "testsupport/temp_dir.h"
#include "tools/marker_finder.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <map>

namespace {

using densetest::Ground;
using densetest::View;

std::vector<double> camera1000(double k1 = 0) {
  return {1000, 750, 850, 850, 499.5, 374.5, k1, 0, 0, 0, 0};
}

struct PairCase {
  const char* name;
  bool flat;
  View reference, neighbour;
  float scale = 4.0f;
  double minCovered = 0.5;
  int workWidth = 960;
  int renderReduction = 1;  // render smaller and enlarge, to keep large sources quick
  // When set, the images are written to files of this extension and the stage decodes them
  // reduced to the working size, as it does in a run.
  const char* fileExtension = nullptr;
};

View at(std::vector<double> camera, double east, double north, double yaw = 0) {
  View v;
  v.camera = std::move(camera);
  v.east = east;
  v.north = north;
  v.yaw = yaw;
  return v;
}

// Baselines of 80 % overlap or more: the CPU matcher gives no disparity to the first
// dmin + 256 columns, so wider baselines leave less than half of the view matched.
std::vector<PairCase> pairCases() {
  const View ref = at(camera1000(), 0, 0);
  const std::vector<double> camera2000 = {2000, 1500, 1700, 1700, 999.5, 749.5};
  const std::vector<double> camera3000 = {3000, 2250, 2550, 2550, 1499.5, 1124.5};
  // Looking down with yaw 0, the camera's x axis points east and its y axis south.
  return {
      {"plane_plus_x", true, ref, at(camera1000(), 15, 0)},
      {"plane_minus_y", true, ref, at(camera1000(), 0, 8)},
      {"relief_plus_x", false, ref, at(camera1000(), 15, 0)},
      {"relief_minus_x", false, ref, at(camera1000(), -15, 0)},
      {"relief_plus_y", false, ref, at(camera1000(), 0, -8)},
      {"relief_minus_y", false, ref, at(camera1000(), 0, 8)},
      // The next strip, flown the other way: sideways and turned half round.
      {"relief_strip_turn", false, ref, at(camera1000(), 30, 0, 180), 4.0f, 0.2},
      {"relief_radial_distortion", false, at(camera1000(-0.12), 0, 0), at(camera1000(-0.12), 0, 8)},
      {"relief_2000_at_scale_2", false, at(camera2000, 0, 0), at(camera2000, 15, 0), 2.0f, 0.5,
       1000, 2},
      // Decoded at half size, exactly the working size.
      {"relief_2000_png_decoded_reduced", false, at(camera2000, 0, 0), at(camera2000, 15, 0), 2.0f,
       0.5, 1000, 2, "png"},
      // Decoded at half size, then reduced by area to the 960 pixels the stage works at.
      {"relief_3000_jpeg_decoded_reduced", false, at(camera3000, 0, 0), at(camera3000, 15, 0), 4.0f,
       0.5, 960, 3, "jpg"},
  };
}

// The view's image, rendered once per test program.
cv::Mat imageOf(const Ground& ground, bool flat, View v, int reduction) {
  static std::map<std::vector<double>, cv::Mat> rendered;
  std::vector<double> key = v.camera;
  key.insert(key.end(), {double(flat), v.east, v.north, v.yaw, double(reduction)});
  cv::Mat& image = rendered[key];
  if (!image.empty()) return image;
  const cv::Size size(int(v.camera[0]), int(v.camera[1]));
  for (int i = 0; i < 6; ++i) v.camera[i] /= reduction;
  v.camera[4] = (v.camera[0] - 1) / 2;  // centred cameras: pixel centres line up when enlarged
  v.camera[5] = (v.camera[1] - 1) / 2;
  cv::resize(densetest::renderImage(ground, v), image, size);
  return image;
}

class RenderedStereoPair : public ::testing::TestWithParam<PairCase> {};

TEST_P(RenderedStereoPair, DepthMatchesTheSceneAndMarkersSitWhereTheyProject) {
  DENSETEST_SKIP_UNDER_TSAN();
  const PairCase& pc = GetParam();
  // Under ASan one flat, one turned and one distorted pair check the memory of every path.
  const std::string name = pc.name;
  if (name != "plane_plus_x" && name != "relief_strip_turn" && name != "relief_radial_distortion")
    VMTEST_PLAIN_BUILD_ONLY();
  const Ground ground(pc.flat);
  DenseDepth stage(pc.scale, std::make_shared<SGM_CPU>());
  std::shared_ptr<ImageScaled> reference, neighbour;
  if (pc.fileExtension) {
    const vmtest::TempDir dir;
    const auto decodedRecord = [&](const View& v, uint64_t id) {
      const std::string path =
          (dir.path() / ("frame_" + std::to_string(id) + "." + pc.fileExtension)).string();
      EXPECT_TRUE(cv::imwrite(path, imageOf(ground, pc.flat, v, pc.renderReduction)));
      stage.MakeImageScaled(densetest::locatedFrame(ground, v, id, path));
      return stage.pairs.back();
    };
    reference = decodedRecord(pc.reference, 1);
    neighbour = decodedRecord(pc.neighbour, 2);
    // Held at the working size, never at the file's.
    EXPECT_EQ(reference->image.cols, pc.workWidth);
    EXPECT_NEAR(reference->imageScale[0], pc.workWidth / pc.reference.camera[0], 1e-12);
  } else {
    reference = densetest::renderedRecord(
        ground, pc.reference, 1, imageOf(ground, pc.flat, pc.reference, pc.renderReduction));
    neighbour = densetest::renderedRecord(
        ground, pc.neighbour, 2, imageOf(ground, pc.flat, pc.neighbour, pc.renderReduction));
  }
  ASSERT_TRUE(stage.ComputeDepth(reference, neighbour));
  EXPECT_EQ(reference->rectImage.cols, pc.workWidth);
  EXPECT_EQ(reference->depth.size(), reference->rectImage.size());
  // The pair left both frames' match features on their records for their next pairs: blank
  // images would give none.
  for (const auto& record : {reference, neighbour}) {
    record->image = cv::Mat(record->image.size(), record->image.type(), cv::Scalar::all(128));
    EXPECT_GT(record->matchFeatures().points.size(), 500u);
  }

  const densetest::DepthScore score = densetest::scoreDepth(ground, *reference, 4);
  EXPECT_GE(score.covered, pc.minCovered);
  EXPECT_GE(score.accurate, 0.9);
  EXPECT_EQ(score.negative, 0);
  RecordProperty("covered", std::to_string(score.covered));
  RecordProperty("accurate", std::to_string(score.accurate));

  if (pc.flat) return;
  // Survey markers seen in the rectified view sit where the rectified camera projects them.
  const SE3 cameraFromWorld = reference->pose.inverse();
  const cv::Matx33d K(reference->K.data());
  const cv::Vec3d origin(reference->pose.t.x, reference->pose.t.y, reference->pose.t.z);
  int found = 0;
  double worst = 0;
  for (const cv::Vec3d& m : Ground::scene().markers()) {
    const pi::Point3d p = cameraFromWorld.transformPoint(pi::Point3d(m[0], m[1], m[2]));
    const cv::Vec3d uvw = K * cv::Vec3d(p.x, p.y, p.z);
    const cv::Point2d uv(uvw[0] / uvw[2], uvw[1] / uvw[2]);
    const double radius = (Ground::scene().options().marker_radius + 0.25) * K(0, 0) / p.z;
    const int margin = int(radius) + 3;
    if (p.z <= 0 || uv.x < margin || uv.y < margin || uv.x > reference->rectImage.cols - margin ||
        uv.y > reference->rectImage.rows - margin)
      continue;
    double t = 0;  // a marker hidden behind a building is not drawn
    if (!ground.intersect(origin, m - origin, &t, nullptr) || t < 0.999) continue;
    cv::Point2d centre;
    ASSERT_TRUE(flight::findMarkerCentre(reference->rectImage, uv, radius, &centre));
    const double error = std::hypot(centre.x - uv.x, centre.y - uv.y);
    EXPECT_LT(error, 0.5) << "marker " << m;
    worst = std::max(worst, error);
    ++found;
  }
  EXPECT_GE(found, 3);
  RecordProperty("markers", found);
  RecordProperty("worst_marker_px", std::to_string(worst));
}

INSTANTIATE_TEST_SUITE_P(Pairs, RenderedStereoPair, ::testing::ValuesIn(pairCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
