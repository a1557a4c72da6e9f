#include "framework/diy_frame.h"
#include "framework/frame_image_decoding.h"
#include "framework/log.h"
#include "src/PointsFusion/src/stereo_dense/dense_depth.h"
#include "src/PointsFusion/src/stereo_dense/pair_motion.h"
#include "src/PointsFusion/src/stereo_dense/seen_matches.h"
#include "src/PointsFusion/src/stereo_dense/tracked_matches.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <exception>

namespace {

// 8-bit grey, colour or colour with alpha.
bool supportedImage(const cv::Mat& image) {
  const int channels = image.channels();
  return !image.empty() && image.depth() == CV_8U &&
         (channels == 1 || channels == 3 || channels == 4);
}

// Width, height, fx, fy, cx and cy scaled by s; the size rounded, so that 3000 pixels at
// 0.32 stay 960.
fw::CameraParameters scaledParameters(fw::CameraParameters k, double s) {
  k.width = std::floor(k.width * s + 0.5);
  k.height = std::floor(k.height * s + 0.5);
  k.fx *= s;
  k.fy *= s;
  k.cx *= s;
  k.cy *= s;
  return k;
}

cv::Mat rotationMatrix(const fw::Quaternion& q) {
  const fw::Matrix3 m = fw::quaternionToMatrix(q);
  return cv::Mat(3, 3, CV_64F, const_cast<double*>(m.data())).clone();
}

// The pose that only rotates by the 3 x 3 rotation `r`.
SE3 rotationPose(const cv::Mat& r) {
  cv::Mat r64;
  r.convertTo(r64, CV_64F);
  fw::Quaternion q;
  fw::quaternionFromMatrix(r64, q);
  return SE3(q, pi::Point3d(0, 0, 0));
}

// A quarter turn clockwise, so that vertical epipolar lines run along rows, and back.
cv::Mat turn(const cv::Mat& image) {
  cv::Mat turned;
  cv::transpose(image, turned);
  cv::flip(turned, turned, 1);
  return turned;
}
cv::Mat unturn(const cv::Mat& image) {
  cv::Mat flipped, back;
  cv::flip(image, flipped, 1);
  cv::transpose(flipped, back);
  return back;
}

struct Rectified {
  cv::Mat colour;  // BGR at the working size
  cv::Mat mapX, mapY;
};

Rectified rectify(const ImageScaled& record, const cv::Mat& r, const cv::Mat& p, cv::Size size) {
  const fw::Camera camera = record.frame->getCamera(0);
  Rectified view;
  // The maps sample the record's reduced image through the camera scaled to it.
  cv::initUndistortRectifyMap(record.imageCameraMatrix(), distortionCoeffs(camera), r, p, size,
                              CV_32FC1, view.mapX, view.mapY);
  cv::Mat remapped;
  cv::remap(record.image, remapped, view.mapX, view.mapY, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
            cv::Scalar::all(0));
  view.colour = fw::bgrOf(remapped);
  return view;
}

// Rectified pixels that draw on the record's own source image, less a one-pixel rim. Read
// from the maps directly: remapping a mask would cost as much as the image.
cv::Mat validMask(const ImageScaled& record, const Rectified& view) {
  const float right = float(record.image.cols - 1), bottom = float(record.image.rows - 1);
  cv::Mat mask(view.mapX.size(), CV_8U);
  for (int r = 0; r < mask.rows; ++r) {
    const float* x = view.mapX.ptr<float>(r);
    const float* y = view.mapY.ptr<float>(r);
    uchar* out = mask.ptr<uchar>(r);
    for (int c = 0; c < mask.cols; ++c)
      out[c] = x[c] >= 0 && x[c] <= right && y[c] >= 0 && y[c] <= bottom ? 255 : 0;
  }
  cv::erode(mask, mask, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3)));
  return mask;
}

// A pair fit to match: two frames, each with a camera model and a source image the matcher
// takes. A duplicate sets its own reason; the others keep the caller's.
bool usablePair(const ImageScaled& reference, const ImageScaled& neighbour, const char*& reason) {
  const uint64_t id = reference.frame->id;
  if (id == neighbour.frame->id) {
    FW_LOG(fw::kLogError) << "Somehow Duplicated frames are passed - FRAME: " << id;
    reason = pair_failure::kDuplicate;
    return false;
  }
  for (const ImageScaled* record :
       std::initializer_list<const ImageScaled*>{&reference, &neighbour}) {
    const fw::Camera camera = record->frame->getCamera(0);
    if (!supportedCamera(camera)) {
      FW_LOG(fw::kLogError) << "DenseDepth::ComputeDepth: frame " << record->frame->id
                            << " has an unsupported camera model " << camera.info();
      return false;
    }
    if (!supportedImage(record->image)) {
      FW_LOG(fw::kLogError) << "DenseDepth::ComputeDepth: frame " << record->frame->id
                            << " has no 8-bit grey or colour source image";
      return false;
    }
  }
  return true;
}

// The rectified pair at the working size. View 1 holds the sparse depths that bound the
// search; T maps view 1 to view 2.
struct PairRectification {
  bool swapped = false;  // view 1 is the neighbour
  cv::Size size;
  cv::Mat R1, R2, P1, P2;
  bool vertical = false;  // the views lie one above the other: matched along columns
  bool view1Left = false;
  double f = 0;  // rectified focal length
  bool referenceLeft() const { return swapped != view1Left; }
  bool referenceIsView1() const { return !swapped; }
};

// `T` maps reference-camera to neighbour-camera coordinates; `s` is the working scale.
PairRectification rectifyPair(const ImageScaled& reference, const ImageScaled& neighbour, SE3 T,
                              double s) {
  PairRectification g;
  const pi::Point3d t = T.inverse().t;
  g.swapped = std::abs(t.y) > std::abs(t.x) ? t.y > 0 : t.x < 0;
  if (g.swapped) T = T.inverse();
  const ImageScaled& view1 = g.swapped ? neighbour : reference;
  const ImageScaled& view2 = g.swapped ? reference : neighbour;

  // Working cameras at the reduced size.
  const fw::Camera work1(scaledParameters(view1.frame->getCamera(0).parameters(), s));
  const fw::Camera work2(scaledParameters(view2.frame->getCamera(0).parameters(), s));
  g.size = cv::Size(work1.width(), work1.height());

  cv::Mat Q;
  cv::Rect roi1, roi2;
  const cv::Mat Tv = (cv::Mat_<double>(3, 1) << T.t.x, T.t.y, T.t.z);
  cv::stereoRectify(cameraMatrix(work1), distortionCoeffs(work1), cameraMatrix(work2),
                    distortionCoeffs(work2), g.size, rotationMatrix(T.q), Tv, g.R1, g.R2, g.P1,
                    g.P2, Q, cv::CALIB_ZERO_DISPARITY, -1, g.size, &roi1, &roi2);
  // The rectification's own turn decides the matching direction: view 2 sits where P2's
  // translation points.
  const double shiftX = g.P2.at<double>(0, 3), shiftY = g.P2.at<double>(1, 3);
  g.vertical = std::abs(shiftY) > std::abs(shiftX);
  g.view1Left = g.vertical ? shiftY > 0 : shiftX < 0;
  g.f = g.P1.at<double>(0, 0);
  return g;
}

// The depths searched: view 1's sparse range (`range`, in its rectified view) widened by the
// margin on both sides.
struct DepthBounds {
  double range[2] = {0, 0};
  double zmin = 0, zmax = 0;
};

// The depth bounds of the pair, with the reference's own range stored in it (both rectified
// views share one orientation; view 1's range stands in when the reference has no sparse
// depth). False, with the reason, when no range is known or it gives no disparity.
bool boundDepths(ImageScaled& reference, const ImageScaled& neighbour, const PairRectification& g,
                 double baseline, DepthBounds& b, const char*& reason) {
  const uint64_t id = reference.frame->id;
  const ImageScaled& view1 = g.swapped ? neighbour : reference;
  if (!ImageScaled::EstimateDepthRange(view1.frame, rotationPose(g.R1), b.range)) {
    FW_LOG(fw::kLogInfo) << "Failed to read depth range from sparse cloud.";
    reason = pair_failure::kDepthRange;
    return false;
  }
  b.zmin = b.range[0] * (1 - DenseDepth::kRangeMargin);
  b.zmax = b.range[1] * (1 + DenseDepth::kRangeMargin);
  if (!(b.zmin > 0) || !std::isfinite(b.zmax)) {
    FW_LOG(fw::kLogWarning) << "DenseDepth::ComputeDepth: frame " << id << ": depth range "
                            << b.zmin << " to " << b.zmax << " does not lie in front of the view";
    reason = pair_failure::kDepthRange;
    return false;
  }
  if (baseline * g.f / b.zmin < 1.0) {
    FW_LOG(fw::kLogWarning) << "DenseDepth::ComputeDepth: frame " << id << ": baseline " << baseline
                            << " gives less than one pixel of disparity";
    reason = pair_failure::kNoBaseline;
    return false;
  }
  double own[2] = {b.range[0], b.range[1]};
  if (g.swapped && !ImageScaled::EstimateDepthRange(reference.frame, rotationPose(g.R2), own)) {
    own[0] = b.range[0];
    own[1] = b.range[1];
  }
  reference.depthMin = float(own[0] * (1 - DenseDepth::kRangeMargin));
  reference.depthMax = float(own[1] * (1 + DenseDepth::kRangeMargin));
  return true;
}

// The share of the view that the other can see at the ground's typical depth, along the
// direction matched: the image width, or its height for a pair one above the other. The
// nearest depth would refuse pairs whose range is only loosely known (a range from the
// height above ground spans a factor of four).
bool overlapsEnough(const PairRectification& g, const DepthBounds& b, double baseline,
                    const char*& reason) {
  const double typical = std::sqrt(b.range[0] * b.range[1]);
  const double overlap =
      1.0 - (baseline / (typical / g.f)) / (g.vertical ? g.size.height : g.size.width);
  if (overlap < 0) {
    FW_LOG(fw::kLogWarning) << "Negative Overlap Calculated - DIS: " << baseline
                            << " Overlap: " << overlap;
    reason = pair_failure::kNoOverlap;
    return false;
  }
  return true;
}

// The disparities searched, [dmin, dmax]: from the furthest depth to the nearest one times
// `factor`. Clamped to the columns in double; an unusable factor leaves the search at dmin.
bool searchRange(const PairRectification& g, const DepthBounds& b, double baseline, double factor,
                 int columns, uint64_t id, int& dmin, int& dmax, const char*& reason) {
  const double smallest = std::floor(baseline * g.f / b.zmax);
  if (smallest >= columns) {
    FW_LOG(fw::kLogWarning) << "DenseDepth::ComputeDepth: frame " << id << ": smallest disparity "
                            << smallest << " leaves none of the " << columns << " columns";
    reason = pair_failure::kNoOverlap;
    return false;
  }
  dmin = int(smallest);
  const double largest = std::floor(baseline * g.f / b.zmin) * factor;
  dmax = largest >= dmin ? int(std::min(largest, double(columns))) : dmin;
  return true;
}

// The reference's disparity map out of the matcher's result, back in the rectified view's
// orientation; empty, with the reason, when the result is not a pair of maps of the size.
cv::Mat referenceDisparity(const sv::Var& result, const PairRectification& g, cv::Size matched,
                           uint64_t id, const char*& reason) {
  if (!result.isArray() || result.length() != 2) {
    FW_LOG(fw::kLogError) << "DenseDepth::ComputeDepth: frame " << id << ": no disparity";
    reason = pair_failure::kNoDisparity;
    return cv::Mat();
  }
  cv::Mat disparity = result[g.referenceLeft() ? 0 : 1].castAs<cv::Mat>();
  if (disparity.type() != CV_32F || disparity.size() != matched) {
    FW_LOG(fw::kLogError) << "DenseDepth::ComputeDepth: frame " << id
                          << ": disparity of the wrong size or type";
    reason = pair_failure::kNoDisparity;
    return cv::Mat();
  }
  return g.vertical ? unturn(disparity) : disparity;
}

// Depth = numerator / disparity where the mask allows and the depth lies in (0, zmax];
// rejected matches (0 or negative) give none. The count of pixels given a depth.
int64_t depthFromDisparity(const cv::Mat& disparity, const cv::Mat& mask, double numerator,
                           double zmax, cv::Mat& depth) {
  int64_t written = 0;
  for (int r = 0; r < depth.rows; ++r) {
    const float* d = disparity.ptr<float>(r);
    const uchar* valid = mask.ptr<uchar>(r);
    float* z = depth.ptr<float>(r);
    for (int c = 0; c < depth.cols; ++c) {
      if (!valid[c]) continue;
      const float value = float(numerator / d[c]);
      if (!(value > 0) || double(value) > zmax) continue;
      z[c] = value;
      ++written;
    }
  }
  return written;
}

}  // namespace

SE3 DenseDepth::imageMotion(const ImageScaled& reference, const ImageScaled& neighbour,
                            const SE3& T, double focal) {
  cv::Matx33d R(rotationMatrix(T.q));
  cv::Vec3d t(T.t.x, T.t.y, T.t.z);
  // Frames refined from their images settle here: seeking and matching features in both
  // images would cost more than the rest of the pair's work but the disparity.
  if (pair_motion::fitsTracks(tracked_matches::of(*reference.frame, *neighbour.frame), R, t, focal))
    return T;
  const pair_motion::Correspondences matches =
      pair_motion::matchFeatures(reference.matchFeatures(), neighbour.matchFeatures());
  bool corrected = false;
  double before = 0.0, after = 0.0;
  pair_motion::correct(matches, focal, R, t, corrected, &before, &after);
  if (!corrected) return T;
  FW_LOG(fw::kLogInfo) << "DenseDepth::ComputeDepth: frame " << reference.frame->id << " and frame "
                       << neighbour.frame->id
                       << " are rectified by their images' relative rotation: their poses' "
                          "leaves their matches "
                       << before << " pixels off their epipolar lines, the images' " << after;
  return SE3(rotationPose(cv::Mat(R)).q, pi::Point3d(t[0], t[1], t[2]));
}

bool supportedCamera(const fw::Camera& camera) {
  const fw::CameraModel model = camera.parameters().model;
  return (model == fw::CameraModel::kPinhole || model == fw::CameraModel::kOpenCV) &&
         camera.isValid();
}

cv::Mat cameraMatrix(const fw::Camera& camera) {
  const fw::CameraParameters k = camera.parameters();
  return (cv::Mat_<double>(3, 3) << k.fx, 0, k.cx, 0, k.fy, k.cy, 0, 0, 1);
}

cv::Mat distortionCoeffs(const fw::Camera& camera) {
  const fw::CameraParameters k = camera.parameters();
  cv::Mat coeffs(5, 1, CV_64F, cv::Scalar(0));
  if (k.model == fw::CameraModel::kOpenCV)
    for (int i = 0; i < 5; ++i) coeffs.at<double>(i) = k.distortion[i];
  return coeffs;
}

std::shared_ptr<fw::MapFrame> DenseDepth::PrepareFrame(std::shared_ptr<fw::MapFrame> frame) {
  auto* concrete = dynamic_cast<MapFrame*>(frame.get());
  if (!concrete) {
    FW_LOG(fw::kLogInfo) << "Not correct mapframe.";
    return frame;
  }
  std::string path;
  std::vector<double> gps;
  frame->call("GetImagePath", &path);
  frame->call("GetGPS", &gps);
  int reduction = 1;
  frame->call("GetImageReduction", &reduction);
  auto clone = std::make_shared<MapFrame>(frame->id, frame->timestamp, fw::GImage(), path,
                                          frame->getCamera(0), gps, 1);
  clone->setReducedImage(frame->getImage(0, 0), reduction);
  clone->copyKeyPointsFrom(*concrete);
  clone->setPose(frame->getPoseSim3());
  frame->setImage(fw::GImage(), 0);
  return clone;
}

bool DenseDepth::ComputeDepth(std::shared_ptr<ImageScaled> reference,
                              std::shared_ptr<ImageScaled> neighbour, const char** reason) {
  const char* ignored = nullptr;
  const char*& why = reason ? *reason : ignored;
  why = pair_failure::kUnusableInput;
  if (!reference || !neighbour || !reference->frame || !neighbour->frame) {
    FW_LOG(fw::kLogError) << "DenseDepth::ComputeDepth: a record without a frame";
    return false;
  }
  try {
    const bool ok = computeDepth(*reference, *neighbour, why);
    if (ok) why = nullptr;
    return ok;
  } catch (const std::exception& e) {
    FW_LOG(fw::kLogError) << "DenseDepth::ComputeDepth: frame " << reference->frame->id << ": "
                          << e.what();
  } catch (...) {
    FW_LOG(fw::kLogError) << "DenseDepth::ComputeDepth: frame " << reference->frame->id
                          << ": unknown failure";
  }
  why = pair_failure::kFault;
  return false;
}

bool DenseDepth::computeDepth(ImageScaled& reference, const ImageScaled& neighbour,
                              const char*& reason) {
  const uint64_t id = reference.frame->id;
  if (!usablePair(reference, neighbour, reason)) return false;

  // Relative motion: T maps reference-camera to neighbour-camera coordinates.
  const SE3 referencePose = reference.frame->getPoseSE3();
  SE3 T = SE3::compose(neighbour.frame->getPoseSE3().inverse(), referencePose);
  const double baseline = std::sqrt(T.t.x * T.t.x + T.t.y * T.t.y + T.t.z * T.t.z);
  if (!(baseline > 0) || !std::isfinite(baseline)) {
    FW_LOG(fw::kLogWarning) << "DenseDepth::ComputeDepth: frame " << id << " and frame "
                            << neighbour.frame->id << " were taken from one spot";
    reason = pair_failure::kNoBaseline;
    return false;
  }
  const fw::CameraParameters fullReference = reference.frame->getCamera(0).parameters();
  const double s = workingScale(fullReference.width);
  try {
    T = imageMotion(reference, neighbour, T, fullReference.fx * s);
  } catch (const cv::Exception& e) {
    // Only a correction: the poses' motion stands.
    FW_LOG(fw::kLogWarning) << "DenseDepth::ComputeDepth: frame " << id
                            << ": the images' relative motion failed: " << e.what();
  }
  const PairRectification g = rectifyPair(reference, neighbour, T, s);
  DepthBounds bounds;
  if (!boundDepths(reference, neighbour, g, baseline, bounds, reason)) return false;

  const ImageScaled& view1 = g.swapped ? neighbour : reference;
  const ImageScaled& view2 = g.swapped ? reference : neighbour;
  const Rectified rect1 = rectify(view1, g.R1, g.P1, g.size);
  const Rectified rect2 = rectify(view2, g.R2, g.P2, g.size);
  if (!overlapsEnough(g, bounds, baseline, reason)) return false;

  // Grey first, then turned: a turn moves a third of the bytes, and the pixels are the same.
  cv::Mat grey1, grey2;
  cv::cvtColor(rect1.colour, grey1, cv::COLOR_BGR2GRAY);
  cv::cvtColor(rect2.colour, grey2, cv::COLOR_BGR2GRAY);
  if (g.vertical) {
    grey1 = turn(grey1);
    grey2 = turn(grey2);
  }
  const cv::Mat& left = g.view1Left ? grey1 : grey2;
  const cv::Mat& right = g.view1Left ? grey2 : grey1;
  int dmin = 0, dmax = 0;
  if (!searchRange(g, bounds, baseline, options_.searchRangeFactor, left.cols, id, dmin, dmax,
                   reason))
    return false;

  sv::Var result;
  {
    std::lock_guard<std::mutex> lock(disparityMutex);
    result = calculator->Compute(left, right, dmin, dmax);
  }
  const cv::Mat disparity = referenceDisparity(result, g, left.size(), id, reason);
  if (disparity.empty()) return false;

  const cv::Mat& Pref = g.referenceIsView1() ? g.P1 : g.P2;
  const cv::Mat& Rref = g.referenceIsView1() ? g.R1 : g.R2;
  const Rectified& rectRef = g.referenceIsView1() ? rect1 : rect2;
  for (int i = 0; i < 9; ++i) reference.K[i] = Pref.at<double>(i / 3, i % 3);
  reference.rectImage = rectRef.colour;
  reference.pose = SE3::compose(referencePose, rotationPose(Rref).inverse());
  reference.count = cv::Mat(g.size, CV_8U, cv::Scalar(1));

  cv::Mat depth(g.size, CV_32F, cv::Scalar(0));
  const int64_t written = depthFromDisparity(disparity, validMask(reference, rectRef),
                                             baseline * Pref.at<double>(0, 0), bounds.zmax, depth);
  if (double(written) < kMinDepthShare * g.size.width * g.size.height) {
    FW_LOG(fw::kLogInfo) << "DenseDepth::ComputeDepth: frame " << id << ": only " << written
                         << " of " << g.size.area() << " pixels got a depth";
    reason = pair_failure::kFewPixels;
    return false;
  }
  // Judged once the pair has matched enough: the pixels dropped here lie along the edges of
  // the overlap, beyond the pair's own doing.
  const ImageScaled& other = g.referenceIsView1() ? view2 : view1;
  const Rectified& rectOther = g.referenceIsView1() ? rect2 : rect1;
  const cv::Mat unseen = seen_matches::unseenMatches(
      disparity, validMask(other, rectOther),
      seen_matches::directionOf(g.vertical, g.referenceLeft()), float(dmin));
  if (!unseen.empty()) depth.setTo(0, unseen);
  reference.depth = depth;
  reference.focalTimesBaseline = baseline * Pref.at<double>(0, 0);
  reference.pairedWith = neighbour.frame->id;
  return true;
}
