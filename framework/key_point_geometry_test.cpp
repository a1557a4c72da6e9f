#include "framework/key_point_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

// A frame whose key points hold given pixels and inverse depths; a NaN pixel stands for a
// key point without a position, a NaN inverse depth for one without a depth.
class KeyPointFrame : public fw::MapFrame {
 public:
  struct Point {
    cv::Point2f pixel;
    double inverseDepth;
  };
  explicit KeyPointFrame(std::vector<Point> points) : fw::MapFrame(1, 0.0), points_(points) {}
  int keyPointCount() override { return int(points_.size()); }
  bool getKeyPointPosition(int index, cv::Point2f& position) override {
    if (std::isnan(points_.at(index).pixel.x)) return false;
    position = points_.at(index).pixel;
    return true;
  }
  bool getKeyPointInverseDepth(int index, fw::Point2d& inverseDepth) override {
    if (std::isnan(points_.at(index).inverseDepth)) return false;
    inverseDepth = fw::Point2d(points_.at(index).inverseDepth, -1.0);
    return true;
  }

 private:
  std::vector<Point> points_;
};

const fw::Camera kCamera({640, 480, 500, 500, 320, 240});
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(KeyPointGeometry, APointInFrontIsTheRayScaledByItsDepth) {
  KeyPointFrame frame({{{820.f, 240.f}, 0.5}, {{320.f, 740.f}, 0.25}});
  const auto a = fw::keyPointInCamera(frame, kCamera, 0);
  ASSERT_TRUE(a);
  EXPECT_DOUBLE_EQ(a->x, 2.0);  // one focal length right of the centre, 2 m away
  EXPECT_DOUBLE_EQ(a->y, 0.0);
  EXPECT_DOUBLE_EQ(a->z, 2.0);
  const auto b = fw::keyPointInCamera(frame, kCamera, 1);
  ASSERT_TRUE(b);
  EXPECT_DOUBLE_EQ(b->y, 4.0);
  EXPECT_DOUBLE_EQ(b->z, 4.0);
  EXPECT_EQ(fw::keyPointDepth(frame, 1), 4.0);
}

TEST(KeyPointGeometry, NoDepthBehindAtOrBeyondTheCameraAndNoPointWithoutAPixel) {
  const float nanPixel = std::numeric_limits<float>::quiet_NaN();
  KeyPointFrame frame({{{320.f, 240.f}, -0.5},    // behind the camera
                       {{320.f, 240.f}, 0.0},     // at infinity
                       {{320.f, 240.f}, kInf},    // on the camera
                       {{320.f, 240.f}, kNaN},    // no depth reported
                       {{320.f, 240.f}, 1e-320},  // a depth too far to be finite
                       {{nanPixel, 0.f}, 0.5}});
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(fw::keyPointDepth(frame, i)) << i;
    EXPECT_FALSE(fw::keyPointInCamera(frame, kCamera, i)) << i;
  }
  EXPECT_EQ(fw::keyPointDepth(frame, 5), 2.0) << "the depth needs no pixel";
  EXPECT_FALSE(fw::keyPointInCamera(frame, kCamera, 5));
}

}  // namespace
