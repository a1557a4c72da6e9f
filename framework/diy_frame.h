#pragma once

// The frame class that holds everything the frame interface asks for: image, camera, GPS
// record, key points with descriptors, colours, rays and observed map points, links to other
// frames, bag-of-words vectors and a 32 x 32 grid for area searches.

#include "framework/geotagged_frame.h"

#include <array>
#include <mutex>

class MapFrame : public fw::GeotaggedFrame {
 public:
  struct KeyPointRecord {
    cv::KeyPoint keypoint;
    pi::Point3d ray;                         // the camera's unprojection of the key point
    pi::Point3ub colour;                     // the image colour at the key point
    std::shared_ptr<fw::MapPoint> mapPoint;  // empty when the key point sees none
  };

  static constexpr int kGridSize = 32;

  // `flags` bit 0 set: colours are taken in the image's byte order, else reversed.
  MapFrame(uint64_t id, double timestamp, const fw::GImage& image, const std::string& imagePath,
           const fw::Camera& camera, const std::vector<double>& gps, int flags);

  // The value-returning forms of the interface stay visible next to the overrides below.
  using fw::MapFrame::getBoWVector;
  using fw::MapFrame::getFeatureVector;
  using fw::MapFrame::getObservations;

  std::string type() const override { return "DIYFrame"; }
  // "GetKeyPoint" (fw::KeyPointPositionQuery), "GetGPS" (std::vector<double>),
  // "GetImagePath" and "SetImagePath" (std::string), "GetImageReduction" (int: the factor
  // the image was reduced by from the file, 1 for a whole image or none).
  void call(const std::string& command, void* arg) override;

  int kind() override { return 1; }
  int imageFlags() override { return flags_; }
  fw::Camera getCamera(int index = 0) override;
  fw::GImage getImage(int index = 0, int option = 0) override;
  // The image set so is whole: its reduction is 1.
  bool setImage(const fw::GImage& image, int index = 0) override;
  // The file's image reduced by `reduction`: pixel (x, y) covers the file's pixels
  // [x r, (x + 1) r) x [y r, (y + 1) r).
  void setReducedImage(const fw::GImage& image, int reduction);
  // The angles whenever the record has them; true when their sigma is below
  // fw::kGpsAttitudeUsable, in every layout. The frame interface gives this class this rule
  // and the application's frame (VornMapperFrame) another for 14-entry vectors.
  bool getGPSAttitude(pi::Point3d& attitude) override;
  // The attitude's sigmas whenever the record has an attitude.
  bool getGPSAttitudeSigma(pi::Point3d& sigma) override;

  int keyPointCount() override { return int(keypoints_.size()); }
  bool setKeyPoints(const std::vector<cv::KeyPoint>& keypoints,
                    const fw::GImage& descriptors) override;
  bool getKeyPoint(int index, cv::KeyPoint& keypoint) override;
  bool getKeyPointPosition(int index, cv::Point2f& position) override;
  std::vector<cv::KeyPoint> getKeyPoints() override;
  bool getKeyPointPositions(std::vector<cv::Point2f>& positions) override;
  bool getKeyPointColor(int index, pi::Point3ub& colour) override;
  bool getKeyPointInverseDepth(int index, fw::Point2d& inverseDepth) override;
  uint64_t getKeyPointObservation(int index) override;
  fw::GImage getDescriptor(int index = -1) override;
  bool getBoWVector(fw::BowVector& bow) override;
  bool getFeatureVector(fw::FeatureVector& features) override;
  std::vector<uint64_t> getFeaturesInArea(const float& x, const float& y, const float& r,
                                          bool circular) override;
  int observationCount() override;
  bool getObservations(fw::ObservationMap& observations) override;
  bool addObservation(const std::shared_ptr<fw::MapPoint>& mapPoint, uint64_t index,
                      bool informMapPoint) override;
  bool eraseObservation(const std::shared_ptr<fw::MapPoint>& mapPoint,
                        bool informMapPoint) override;
  bool clearObservations() override;
  std::shared_ptr<fw::FrameLink> getFirstLink(uint64_t frameId) override;
  std::shared_ptr<fw::FrameLink> getSecondLink(uint64_t frameId) override;
  bool getFirstLinks(fw::FrameLinks& links) override;
  bool getSecondLinks(fw::FrameLinks& links) override;
  bool setFirstLink(uint64_t frameId, const std::shared_ptr<fw::FrameLink>& link) override;
  bool setSecondLink(uint64_t frameId, const std::shared_ptr<fw::FrameLink>& link) override;
  bool eraseFirstLink(uint64_t frameId) override;
  bool eraseSecondLink(uint64_t frameId) override;
  bool clearFirstLinks() override;
  bool clearSecondLinks() override;
  double getMedianDepth() override;

  // Replaces this frame's key-point records and observation list by copies of `source`'s,
  // read under `source`'s mutex (a clone shares the observed map points).
  void copyKeyPointsFrom(const MapFrame& source);

 private:
  bool validIndex(int index) const { return index >= 0 && size_t(index) < keypoints_.size(); }
  pi::Point3ub colourAt(float x, float y);
  // The grid cell of a position, false when it lies outside the image.
  bool cellOf(float x, float y, int& cx, int& cy) const;
  // Computes the bag-of-words and feature vectors once; false without vocabulary or
  // descriptors.
  bool computeBow();
  // The map point of a key point, read under the frame's mutex.
  std::shared_ptr<fw::MapPoint> mapPointOf(int index) const;

  // The image travels between stages on their own threads: it and its reduction are read
  // and replaced under imageMutex_.
  mutable std::mutex imageMutex_;
  fw::GImage image_;
  int imageReduction_ = 1;
  int flags_;
  std::string imagePath_;
  fw::Camera camera_;
  fw::GImage descriptors_;
  std::vector<KeyPointRecord> keypoints_;
  fw::ObservationMap observations_;
  fw::FrameLinks firstLinks_;
  fw::FrameLinks secondLinks_;
  fw::BowVector bow_;
  fw::FeatureVector features_;
  std::array<std::vector<uint64_t>, kGridSize * kGridSize> grid_;
  double medianDepth_ = -1.0;
};
