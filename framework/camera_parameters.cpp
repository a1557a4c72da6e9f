#include "framework/camera_parameters.h"

#include <cstddef>

namespace fw {

namespace {
constexpr std::size_t kSizeEntries = 2, kPinholeEntries = 6;

CameraModel modelOfLength(std::size_t length) {
  switch (length) {
    case kSizeEntries:
      return CameraModel::kIdeal;
    case kPinholeEntries:
      return CameraModel::kPinhole;
    case kPinholeEntries + 1:
      return CameraModel::kAtan;
    case kPinholeEntries + 5:
      return CameraModel::kOpenCV;
    default:
      return CameraModel::kNone;
  }
}
}  // namespace

CameraParameters CameraParameters::decode(const std::vector<double>& p) {
  CameraParameters k;
  k.model = modelOfLength(p.size());
  if (p.size() >= kSizeEntries) {
    k.width = p[0];
    k.height = p[1];
  }
  if (p.size() >= kPinholeEntries) {
    k.fx = p[2];
    k.fy = p[3];
    k.cx = p[4];
    k.cy = p[5];
    k.distortion.assign(p.begin() + kPinholeEntries, p.end());
  }
  return k;
}

std::vector<double> CameraParameters::encode() const {
  if (model == CameraModel::kNone) return {};
  std::vector<double> p = {width, height};
  if (!hasIntrinsics()) return p;
  p.insert(p.end(), {fx, fy, cx, cy});
  p.insert(p.end(), distortion.begin(), distortion.end());
  return p;
}

bool CameraParameters::hasIntrinsics() const {
  return model == CameraModel::kPinhole || model == CameraModel::kAtan ||
         model == CameraModel::kOpenCV;
}

CameraParameters CameraParameters::withoutDistortion() const {
  CameraParameters k = *this;
  k.model = CameraModel::kPinhole;
  k.distortion.clear();
  return k;
}

}  // namespace fw
