#pragma once

// The interface of one located image frame: identity, time, pose, camera, image, GPS record,
// key points with descriptors and observed map points, links to other frames and
// bag-of-words vectors. Every operation has a default (false, 0, empty, identity); frame
// classes override what they hold. The slot order of the virtual operations is fixed.

#include "framework/bow_vector.h"
#include "framework/camera.h"
#include "framework/gimage.h"
#include "framework/gobject.h"
#include "framework/map_point.h"
#include "framework/pose.h"
#include "values/point.h"

#include <opencv2/core/types.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fw {

// Links between frames are created and read by the frame's users; the frame only stores them.
class FrameLink {
 public:
  virtual ~FrameLink() = default;
};
using FrameLinks = std::map<uint64_t, std::shared_ptr<FrameLink>>;

// Map-point id -> key-point index.
using ObservationMap = std::map<uint64_t, uint64_t>;

// Argument of the "GetKeyPoint" command: the key point's index in, its position out.
struct KeyPointPositionQuery {
  uint32_t index = 0;
  double x = 0;
  double y = 0;
};

class MapFrame : public GObject {
 public:
  MapFrame(uint64_t frameId, double frameTimestamp) : id(frameId), timestamp(frameTimestamp) {}
  MapFrame(const MapFrame&) = delete;
  MapFrame& operator=(const MapFrame&) = delete;

  // The pose maps camera coordinates to world coordinates; each access holds the mutex.
  Sim3 getPoseSim3() const;
  SE3 getPoseSE3() const;
  double getPoseScale() const;
  void setPose(const Sim3& pose);
  // Sets rotation and translation and keeps the scale.
  void setPose(const SE3& pose);

  std::string type() const override { return "InvalidFrame"; }

  virtual int kind() { return 0; }
  virtual SE3 getPose() { return SE3(); }
  virtual int imageFlags() { return 2; }
  virtual Camera getCamera(int index = 0);
  virtual GImage getImage(int index = 0, int option = 0);
  virtual bool setImage(const GImage& image, int index = 0);
  virtual bool reservedQueryD() { return false; }
  virtual bool hasGPSAttitude() { return false; }
  virtual SE3 getPoseAlt() { return SE3(); }
  virtual bool reservedQueryF() { return false; }
  virtual bool reservedQueryG() { return false; }
  virtual bool reservedQueryH() { return false; }
  virtual bool reservedQueryI() { return false; }
  virtual bool reservedQueryJ() { return false; }
  // (pitch, yaw, roll) style angles of the GPS record.
  virtual bool getGPSAttitude(pi::Point3d& attitude);
  virtual bool getGPSAttitudeSigma(pi::Point3d& sigma);
  virtual bool isGPSSigmaValid() { return false; }
  virtual SE3 getPoseAlt2() { return SE3(); }
  // (longitude, latitude, altitude); true when the position sigma is below 100.
  virtual bool getGPSLLA(pi::Point3d& lla);
  virtual bool getGPSSigma(pi::Point3d& sigma);
  virtual bool getGPSECEF(pi::Point3d& ecef);
  // (height, its sigma).
  virtual bool getGPSHeight(Point2d& height);

  virtual int keyPointCount() { return 0; }
  virtual bool setKeyPoints(const std::vector<cv::KeyPoint>& keypoints, const GImage& descriptors);
  virtual bool getKeyPoint(int index, cv::KeyPoint& keypoint);
  virtual bool getKeyPointPosition(int index, cv::Point2f& position);
  virtual std::vector<cv::KeyPoint> getKeyPoints();
  virtual bool getKeyPointsInto(std::vector<cv::KeyPoint>& keypoints);
  virtual bool getKeyPointPositions(std::vector<cv::Point2f>& positions);
  virtual bool getKeyPointColor(int index, pi::Point3ub& colour);
  // (1 / depth, -1) of the key point's map point in this frame's camera.
  virtual bool getKeyPointInverseDepth(int index, Point2d& inverseDepth);
  // Id of the key point's map point, 0 when it has none.
  virtual uint64_t getKeyPointObservation(int index);
  // A one-row view of descriptor `index`, or the whole descriptor image for a negative index.
  virtual GImage getDescriptor(int index = -1);
  virtual BowVector getBoWVector();
  virtual bool getBoWVector(BowVector& bow);
  virtual FeatureVector getFeatureVector();
  virtual bool getFeatureVector(FeatureVector& features);
  virtual std::vector<uint64_t> getFeaturesInArea(const float& x, const float& y, const float& r,
                                                  bool circular);
  virtual int observationCount() { return 0; }
  virtual ObservationMap getObservations();
  virtual bool getObservations(ObservationMap& observations);
  virtual bool addObservation(const std::shared_ptr<MapPoint>& mapPoint, uint64_t index,
                              bool informMapPoint);
  virtual bool eraseObservation(const std::shared_ptr<MapPoint>& mapPoint, bool informMapPoint);
  virtual bool clearObservations() { return false; }
  virtual std::shared_ptr<FrameLink> getFirstLink(uint64_t frameId);
  virtual std::shared_ptr<FrameLink> getSecondLink(uint64_t frameId);
  virtual bool getFirstLinks(FrameLinks& links);
  virtual bool getSecondLinks(FrameLinks& links);
  virtual bool setFirstLink(uint64_t frameId, const std::shared_ptr<FrameLink>& link);
  virtual bool setSecondLink(uint64_t frameId, const std::shared_ptr<FrameLink>& link);
  virtual bool eraseFirstLink(uint64_t frameId);
  virtual bool eraseSecondLink(uint64_t frameId);
  virtual bool clearFirstLinks() { return false; }
  virtual bool clearSecondLinks() { return false; }
  virtual double getMedianDepth() { return getPoseScale(); }

  const uint64_t id;
  const double timestamp;

 protected:
  // Guards the pose and, in frame classes, the observations.
  mutable std::mutex mutex;

 public:
  std::string name;

 private:
  Sim3 pose;
};

}  // namespace fw

// The order in which whole maps are fed: ascending frame id.
bool frameIdLess(std::shared_ptr<fw::MapFrame> a, std::shared_ptr<fw::MapFrame> b);
