#include "framework/map_frame.h"

namespace fw {

Sim3 MapFrame::getPoseSim3() const {
  std::lock_guard<std::mutex> lock(mutex);
  return pose;
}

SE3 MapFrame::getPoseSE3() const {
  std::lock_guard<std::mutex> lock(mutex);
  return pose.rigid();
}

double MapFrame::getPoseScale() const {
  std::lock_guard<std::mutex> lock(mutex);
  return pose.s;
}

void MapFrame::setPose(const Sim3& p) {
  std::lock_guard<std::mutex> lock(mutex);
  pose = p;
}

void MapFrame::setPose(const SE3& p) {
  std::lock_guard<std::mutex> lock(mutex);
  pose.q = p.q;
  pose.t = p.t;
}

Camera MapFrame::getCamera(int) { return Camera(); }
GImage MapFrame::getImage(int, int) { return GImage(); }
bool MapFrame::setImage(const GImage&, int) { return false; }
bool MapFrame::getGPSAttitude(pi::Point3d&) { return false; }
bool MapFrame::getGPSAttitudeSigma(pi::Point3d&) { return false; }
bool MapFrame::getGPSLLA(pi::Point3d&) { return false; }
bool MapFrame::getGPSSigma(pi::Point3d&) { return false; }
bool MapFrame::getGPSECEF(pi::Point3d&) { return false; }
bool MapFrame::getGPSHeight(Point2d&) { return false; }
bool MapFrame::setKeyPoints(const std::vector<cv::KeyPoint>&, const GImage&) { return false; }
bool MapFrame::getKeyPoint(int, cv::KeyPoint&) { return false; }
bool MapFrame::getKeyPointPosition(int, cv::Point2f&) { return false; }

std::vector<cv::KeyPoint> MapFrame::getKeyPoints() {
  std::vector<cv::KeyPoint> keypoints;
  getKeyPointsInto(keypoints);
  return keypoints;
}

bool MapFrame::getKeyPointsInto(std::vector<cv::KeyPoint>&) { return false; }
bool MapFrame::getKeyPointPositions(std::vector<cv::Point2f>&) { return false; }
bool MapFrame::getKeyPointColor(int, pi::Point3ub&) { return false; }
bool MapFrame::getKeyPointInverseDepth(int, Point2d&) { return false; }
uint64_t MapFrame::getKeyPointObservation(int) { return 0; }
GImage MapFrame::getDescriptor(int) { return GImage(); }

BowVector MapFrame::getBoWVector() {
  BowVector bow;
  getBoWVector(bow);
  return bow;
}

bool MapFrame::getBoWVector(BowVector&) { return false; }

FeatureVector MapFrame::getFeatureVector() {
  FeatureVector features;
  getFeatureVector(features);
  return features;
}

bool MapFrame::getFeatureVector(FeatureVector&) { return false; }

std::vector<uint64_t> MapFrame::getFeaturesInArea(const float&, const float&, const float&, bool) {
  return {};
}

ObservationMap MapFrame::getObservations() {
  ObservationMap observations;
  getObservations(observations);
  return observations;
}

bool MapFrame::getObservations(ObservationMap&) { return false; }
bool MapFrame::addObservation(const std::shared_ptr<MapPoint>&, uint64_t, bool) { return false; }
bool MapFrame::eraseObservation(const std::shared_ptr<MapPoint>&, bool) { return false; }
std::shared_ptr<FrameLink> MapFrame::getFirstLink(uint64_t) { return nullptr; }
std::shared_ptr<FrameLink> MapFrame::getSecondLink(uint64_t) { return nullptr; }
bool MapFrame::getFirstLinks(FrameLinks&) { return false; }
bool MapFrame::getSecondLinks(FrameLinks&) { return false; }
bool MapFrame::setFirstLink(uint64_t, const std::shared_ptr<FrameLink>&) { return false; }
bool MapFrame::setSecondLink(uint64_t, const std::shared_ptr<FrameLink>&) { return false; }
bool MapFrame::eraseFirstLink(uint64_t) { return false; }
bool MapFrame::eraseSecondLink(uint64_t) { return false; }

}  // namespace fw

bool frameIdLess(std::shared_ptr<fw::MapFrame> a, std::shared_ptr<fw::MapFrame> b) {
  return a->id < b->id;
}
