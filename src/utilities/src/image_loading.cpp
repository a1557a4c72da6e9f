#include "dataset.h"

#include "calibration_fit.h"
#include "image_header.h"
#include "md5_hex.h"
#include "regular_file.h"

#include "framework/frame_image_decoding.h"
#include "framework/log.h"
#include "framework/printable_text.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <new>
#include <vector>

namespace {

// Crops and scales the frame's calibration to the decoded image when their sizes differ.
void fitCamera(VornMapperFrame& frame, int columns, int rows) {
  fw::Camera camera = frame.getCamera(0);
  if (!camera.isValid() || (camera.width() == columns && camera.height() == rows)) return;
  if (!camera.parameters().hasIntrinsics()) return;
  frame.setCamera(fw::Camera(fitCalibrationToImage(camera.getParameters(), columns, rows)).impl());
}

// Columns or rows of a side of `side` pixels decoded reduced by `reduction`.
int reducedSide(int64_t side, int reduction) {
  return static_cast<int>((side + reduction - 1) / reduction);
}

// The factor the image is decoded reduced by: the largest that leaves its long side no
// shorter than the consumer's working side.
int decodeReductionOf(const ImageHeader& header, const ImageLoadOptions& options) {
  if (options.workingLongSide <= 0) return 1;
  const double longSide = static_cast<double>(std::max(header.width, header.height));
  return fw::decodeReductionFor(longSide / options.workingLongSide);
}

// What the frame holds once its image is decoded reduced so: 8-bit, three-channel BGR.
int64_t reducedBytes(const ImageHeader& header, int reduction) {
  return int64_t{reducedSide(header.width, reduction)} * reducedSide(header.height, reduction) * 3;
}

// Releases the frame's reservation unless the frame keeps its image. Not copyable: a copy
// would release the same bytes twice.
struct Reservation {
  DecodeBudget* budget = nullptr;
  int64_t bytes = 0;
  Reservation() = default;
  Reservation(const Reservation&) = delete;
  Reservation& operator=(const Reservation&) = delete;
  ~Reservation() {
    if (budget && bytes > 0) budget->release(bytes);
  }
  // Keeps `kept` of the bytes, giving the rest back at once.
  void shrinkTo(int64_t kept) {
    if (budget && bytes > kept) budget->release(bytes - kept);
    bytes = std::min(bytes, kept);
  }
};

// True when every pixel of the 8-bit BGR image has the colour of the first: a blank frame
// holds nothing to locate or map, only a patch of one colour over the products.
bool isUniform(const cv::Mat& image) {
  const cv::Vec3b first = image.at<cv::Vec3b>(0, 0);
  for (int r = 0; r < image.rows; ++r) {
    const cv::Vec3b* row = image.ptr<cv::Vec3b>(r);
    for (int c = 0; c < image.cols; ++c)
      if (row[c] != first) return false;
  }
  return true;
}

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
  // An image its calibration does not describe would be placed wrongly by every stage: it is
  // refused as soon as its size is known, from the header or else from the decoded pixels.
  const std::vector<double> calibration = frame.getCamera(0).getParameters();
  auto misdescribed = [&](int64_t columns, int64_t rows) {
    const std::string problem = calibrationMismatch(calibration, columns, rows);
    if (!problem.empty()) FW_LOG(fw::kLogError) << "Refused image " << path << ": " << problem;
    return !problem.empty();
  };
  if (knownHeader && misdescribed(header.width, header.height))
    return failed(frame, kLoadMisdescribed);
  // The consumer's working copy needs no more than the reduced decode; a file whose header we
  // do not read is decoded whole, since only the header tells its real size then.
  const int reduction = knownHeader ? decodeReductionOf(header, options) : 1;
  const int64_t keptBytes = knownHeader ? reducedBytes(header, reduction) : 0;
  // A file reduced only after a whole decode holds the whole frame for a moment.
  const int64_t decodeBytes =
      reduction > 1 && !fw::reducesWhileDecoding(bytes) ? header.frameBytes() : keptBytes;
  // Such a whole image larger than the budget is refused rather than let past it. (A frame
  // kept at its full size may still overdraw the budget while the consumer waits for it.)
  if (knownHeader && decodeBytes > keptBytes && decodeBytes > options.decodeBudgetBytes) {
    FW_LOG(fw::kLogError) << "Refused image " << path << ": decoding its " << header.width << " x "
                          << header.height << " pixels whole takes " << (decodeBytes >> 20)
                          << " MiB, more than the decode budget of "
                          << (options.decodeBudgetBytes >> 20) << " MiB";
    return failed(frame, kLoadOverBudget);
  }
  Reservation reservation;
  if (budget && knownHeader) {
    if (!budget->acquire(decodeBytes, static_cast<int64_t>(frame.id)))
      return failed(frame, kLoadCancelled);
    reservation.budget = budget;
    reservation.bytes = decodeBytes;
  }
  // Every stage after the dataset takes 8-bit BGR frames: converted here, once.
  cv::Mat image =
      reduction > 1 ? fw::decodeFrameImageReduced(bytes, reduction) : fw::decodeFrameImage(bytes);
  reservation.shrinkTo(keptBytes);
  bytes = std::vector<unsigned char>();
  if (image.empty() || image.cols < 1 || image.rows < 1) {
    FW_LOG(fw::kLogError) << "Failed to decode image " << path;
    return failed(frame, kLoadNotAnImage);
  }
  if (reduction > 1 && !(image.cols == reducedSide(header.width, reduction) &&
                         image.rows == reducedSide(header.height, reduction))) {
    // The calibration is fitted to the header's size: one the pixels do not bear out is a
    // broken file.
    FW_LOG(fw::kLogError) << "Refused image " << path << ": its header claims " << header.width
                          << " x " << header.height << " pixels, its data do not";
    return failed(frame, kLoadNotAnImage);
  }
  // A format whose header we do not read is held to the same pixel budget once decoded.
  if (static_cast<int64_t>(image.cols) * image.rows > options.maxPixels) {
    FW_LOG(fw::kLogError) << "Refused image " << path << ": " << image.cols << " x " << image.rows
                          << " pixels, more than the budget of " << options.maxPixels;
    return failed(frame, kLoadTooLarge);
  }
  if (!knownHeader && misdescribed(image.cols, image.rows)) return failed(frame, kLoadMisdescribed);
  if (isUniform(image)) {
    const cv::Vec3b colour = image.at<cv::Vec3b>(0, 0);
    FW_LOG(fw::kLogError) << "Refused image " << path << ": it has no content, every pixel is "
                          << "(" << int(colour[2]) << ", " << int(colour[1]) << ", "
                          << int(colour[0]) << ") in red, green and blue";
    return failed(frame, kLoadNoContent);
  }
  if (reduction > 1) {
    frame.setReducedImage(fw::GImage(image), reduction);
    fitCamera(frame, static_cast<int>(header.width), static_cast<int>(header.height));
  } else {
    frame.setImage(fw::GImage(image), 0);
    fitCamera(frame, image.cols, image.rows);
  }
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
