#pragma once

// Builds located frames for tests of the stages that read frames: a frame class instance with
// a camera, a GPS record and a pose, and one key point per visible world point, each key point
// observing a map point at that world point.

#include "framework/diy_frame.h"
#include "framework/slam.h"

#include <memory>
#include <vector>

namespace fwtest {

struct LocatedFrameSpec {
  uint64_t id = 0;
  double timestamp = 1701532800.0;
  // Width, height, fx, fy, cx, cy, k1, k2, p1, p2, k3.
  std::vector<double> camera = {640, 480, 500, 500, 320, 240, 0, 0, 0, 0, 0};
  // Longitude, latitude, altitude, their sigmas, relative height and its sigma, attitude
  // (pitch, yaw, roll) and its sigmas.
  std::vector<double> gps = {8.5, 47.4, 500, 2, 3, 4, 120, 10, 0, 0, 0, 5, 5, 5};
  SE3 pose;  // camera to world
  fw::GImage image;
  std::string imagePath = "frame.jpg";
  int flags = 1;
};

// World points behind the camera or outside the image get no key point. Map point ids are
// id * 1000000 + the point's index in worldPoints.
inline std::shared_ptr<MapFrame> makeLocatedFrame(const LocatedFrameSpec& spec,
                                                  const std::vector<pi::Point3d>& worldPoints) {
  const fw::Camera camera(spec.camera);
  auto frame = std::make_shared<MapFrame>(spec.id, spec.timestamp, spec.image, spec.imagePath,
                                          camera, spec.gps, spec.flags);
  frame->setPose(spec.pose);
  const SE3 cameraFromWorld = spec.pose.inverse();
  std::vector<cv::KeyPoint> keypoints;
  std::vector<size_t> sources;
  for (size_t i = 0; i < worldPoints.size(); ++i) {
    const pi::Point3d p = cameraFromWorld.transformPoint(worldPoints[i]);
    const fw::Point2d pixel = camera.Project(p);
    if (p.z <= 0 || pixel.x < 0 || pixel.y < 0 || pixel.x >= camera.width() ||
        pixel.y >= camera.height())
      continue;
    keypoints.emplace_back(cv::Point2f(float(pixel.x), float(pixel.y)), 5.0f);
    sources.push_back(i);
  }
  frame->setKeyPoints(keypoints, fw::GImage());
  for (size_t k = 0; k < sources.size(); ++k) {
    auto point =
        std::make_shared<fw::MapPoint>(spec.id * 1000000 + sources[k], worldPoints[sources[k]]);
    frame->addObservation(point, k, true);
  }
  return frame;
}

// A map that lists the given frames, as a front end hands its located frames on.
class ListedMap : public fw::Map {
 public:
  explicit ListedMap(std::vector<std::shared_ptr<fw::MapFrame>> frames)
      : frames_(std::move(frames)) {}
  std::vector<std::shared_ptr<fw::MapFrame>> getFrames() const override { return frames_; }

 private:
  std::vector<std::shared_ptr<fw::MapFrame>> frames_;
};

}  // namespace fwtest
