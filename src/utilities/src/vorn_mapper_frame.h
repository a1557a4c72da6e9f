#pragma once

#include "framework/camera.h"
#include "framework/geotagged_frame.h"
#include "framework/gimage.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The application's frame: one image file with its geotag (GPS vector of 0, 8 or 14 entries:
// position, its sigmas, relative altitude and sigma, then attitude and its sigmas) and its
// camera. The dataset creates it from a frame document and loads the image later. Image
// access is under the frame's lock, since the loader, the mapper and the ends touch it from
// different threads.
class VornMapperFrame : public fw::GeotaggedFrame {
 public:
  // Load states: written by the dataset and its loaders, polled by the consumer.
  static constexpr int kNotRequested = 0;
  static constexpr int kQueued = 1;
  static constexpr int kReading = 2;
  static constexpr int kLoaded = 3;
  static constexpr int kFailed = 4;  // missing or undecodable image: the frame is skipped

  VornMapperFrame(const uint64_t& id, std::string imagePath, const double& timestamp,
                  std::vector<double> gps, std::vector<double> calibration);
  ~VornMapperFrame() override;

  std::string type() const override { return "Frame"; }
  // "GetImagePath" (std::string*), "ReleaseImage", "GetGPS" (std::vector<double>*),
  // "GetImageReduction" (int*: the factor the image was reduced by when it was decoded, 1 for
  // a whole image or none).
  void call(const std::string& command, void* arg) override;
  // One camera.
  int kind() override { return 1; }
  fw::Camera getCamera(int index = 0) override;
  fw::GImage getImage(int index = 0, int option = 0) override;
  // Index 0 replaces the image (an empty image releases the pixels), others the second image.
  // The image set so is whole: its reduction is 1.
  bool setImage(const fw::GImage& image, int index = 0) override;
  // The image decoded reduced by `reduction` from a file of the camera's size: pixel (x, y)
  // covers the file's pixels [x r, (x + 1) r) x [y r, (y + 1) r).
  void setReducedImage(const fw::GImage& image, int reduction);
  // The angles and their sigmas when the attitude is usable, else false with the output
  // untouched. Usable: in a 14-entry vector (the document reader's layout) a pitch sigma
  // other than 0, in the shorter layouts one below fw::kGpsAttitudeUsable. The frame
  // interface gives this class this rule and the framework's frame (MapFrame) the plain limit.
  bool getGPSAttitude(pi::Point3d& attitude) override;
  bool getGPSAttitudeSigma(pi::Point3d& sigma) override;

  const std::string& imagePath() const { return imagePath_; }
  // Replaces the camera (the loader fits the calibration to the image's size).
  void setCamera(std::shared_ptr<fw::CameraImpl> camera);

  std::atomic<int> loadState{kNotRequested};
  // Why the image could not be loaded, in a few words that group alike failures ("not an
  // image", "out of memory"); written by the loader before it stores kFailed in `loadState`,
  // so whoever sees kFailed reads it complete.
  std::string loadFailure;
  // Decoded bytes this frame holds of its dataset's decode budget until it is handed out.
  std::atomic<int64_t> decodeReservation{0};

 private:
  std::string imagePath_;
  fw::GImage image_;
  int imageReduction_ = 1;
  fw::GImage secondImage_;
  std::shared_ptr<fw::CameraImpl> camera_;
};
