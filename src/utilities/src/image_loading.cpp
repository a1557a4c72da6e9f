#include "dataset.h"

#include "calibration_fit.h"
#include "image_header.h"
#include "md5_hex.h"
#include "regular_file.h"

#include "framework/frame_image_decoding.h"
#include "framework/log.h"
#include "framework/printable_text.h"

#include <opencv2/core.hpp>

#include <new>
#include <vector>

namespace {

// Crops and scales the frame's calibration to the decoded image when their sizes differ.
void fitCamera(VornMapperFrame& frame, int columns, int rows) {
  fw::Camera camera = frame.getCamera(0);
  if (!camera.isValid() || (camera.width() == columns && camera.height() == rows)) return;
  std::vector<double> parameters = camera.getParameters();
  if (parameters.size() < 6) return;
  frame.setCamera(fw::Camera(fitCalibrationToImage(parameters, columns, rows)).impl());
}

// Releases the frame's reservation unless the frame keeps its image.
struct Reservation {
  DecodeBudget* budget = nullptr;
  int64_t bytes = 0;
  ~Reservation() {
    if (budget && bytes > 0) budget->release(bytes);
  }
};

// Why a load failed, kept on the frame for the run's summary.
bool failed(VornMapperFrame& frame, const char* reason) {
  frame.loadFailure = reason;
  return false;
}

bool loadImageOrThrow(VornMapperFrame& frame, const ImageLoadOptions& options,
                      DecodeBudget* budget) {
  const std::string path = fw::printableText(frame.imagePath());
  frame.loadState.store(VornMapperFrame::kReading);
  std::vector<unsigned char> bytes;
  std::string reason;
  if (!readRegularFile(frame.imagePath(), bytes, reason)) {
    FW_LOG(fw::kLogError) << "Failed to open " << path << ": " << reason;
    return failed(frame, kLoadUnreadable);
  }
  if (frame.name.empty()) frame.name = md5Hex(bytes.data(), bytes.size());
  ImageHeader header;
  const bool knownHeader = readImageHeader(bytes, header);
  if (knownHeader && header.pixels() > options.maxPixels) {
    FW_LOG(fw::kLogError) << "Refused image " << path << ": its header claims " << header.width
                          << " x " << header.height << " pixels, more than the budget of "
                          << options.maxPixels;
    return failed(frame, kLoadTooLarge);
  }
  Reservation reservation;
  if (budget && knownHeader) {
    if (!budget->acquire(header.frameBytes(), static_cast<int64_t>(frame.id)))
      return failed(frame, kLoadCancelled);
    reservation = {budget, header.frameBytes()};
  }
  // Every stage after the dataset takes 8-bit BGR frames: converted here, once.
  cv::Mat image = fw::decodeFrameImage(bytes);
  bytes = std::vector<unsigned char>();
  if (image.empty() || image.cols < 1 || image.rows < 1) {
    FW_LOG(fw::kLogError) << "Failed to decode image " << path;
    return failed(frame, kLoadNotAnImage);
  }
  // A format whose header we do not read is held to the same pixel budget once decoded.
  if (static_cast<int64_t>(image.cols) * image.rows > options.maxPixels) {
    FW_LOG(fw::kLogError) << "Refused image " << path << ": " << image.cols << " x " << image.rows
                          << " pixels, more than the budget of " << options.maxPixels;
    return failed(frame, kLoadTooLarge);
  }
  frame.setImage(fw::GImage(image), 0);
  fitCamera(frame, image.cols, image.rows);
  // The frame holds the reservation until the dataset hands it out.
  frame.decodeReservation.store(reservation.bytes);
  reservation.bytes = 0;
  return true;
}

}  // namespace

bool loadImage(VornMapperFrame& frame) { return loadImage(frame, ImageLoadOptions(), nullptr); }

bool loadImage(VornMapperFrame& frame, const ImageLoadOptions& options, DecodeBudget* budget) {
  bool loaded = false;
  try {
    loaded = loadImageOrThrow(frame, options, budget);
  } catch (const cv::Exception& e) {
    // A decoder failure or an exhausted memory costs this frame, never the run.
    FW_LOG(fw::kLogError) << "Failed to load image " << frame.imagePath() << ": " << e.what();
    failed(frame, e.code == cv::Error::StsNoMem ? kLoadOutOfMemory : kLoadNotAnImage);
  } catch (const std::bad_alloc& e) {
    FW_LOG(fw::kLogError) << "Failed to load image " << frame.imagePath() << ": " << e.what();
    failed(frame, kLoadOutOfMemory);
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "Failed to load image " << frame.imagePath() << ": " << e.what();
    failed(frame, kLoadNotAnImage);
  }
  frame.loadState.store(loaded ? VornMapperFrame::kLoaded : VornMapperFrame::kFailed);
  return loaded;
}
