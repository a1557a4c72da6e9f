#include "framework/undistorter.h"
#include "framework/log.h"

#include <cmath>
#include <cstring>

namespace fw {

namespace {

// Source coordinates that miss a whole number only by rounding noise count as that number,
// so an identity camera pair maps every pixel onto itself.
double snapToWhole(double v) {
  const double whole = std::round(v);
  return std::fabs(v - whole) < 1e-6 ? whole : v;
}

template <int kBytes>
void copyPixels(const unsigned char* in, unsigned char* out, const std::vector<int32_t>& index) {
  const size_t count = index.size();
  for (size_t i = 0; i < count; ++i) {
    const int32_t source = index[i];
    if (source >= 0)
      std::memcpy(out + i * kBytes, in + size_t(source) * kBytes, kBytes);
    else
      std::memset(out + i * kBytes, 0, kBytes);
  }
}

void copyPixels(const unsigned char* in, unsigned char* out, const std::vector<int32_t>& index,
                size_t bytes) {
  for (size_t i = 0; i < index.size(); ++i) {
    if (index[i] >= 0)
      std::memcpy(out + i * bytes, in + size_t(index[i]) * bytes, bytes);
    else
      std::memset(out + i * bytes, 0, bytes);
  }
}

}  // namespace

UndistorterImpl::UndistorterImpl(const Camera& in, const Camera& out)
    : cameraIn_(in.impl()), cameraOut_(out.impl()) {
  prepareMaps();
}

void UndistorterImpl::prepareMaps() {
  if (!cameraIn_->isValid() || !cameraOut_->isValid()) return;
  FW_LOG(fw::kLogInfo) << "Undistorter:\n"
                       << "    Camera IN : " << cameraIn_->info() << "\n"
                       << "    Camera OUT: " << cameraOut_->info() << "\n";
  const int outW = cameraOut_->width, outH = cameraOut_->height;
  const int inW = cameraIn_->width, inH = cameraIn_->height;
  const size_t count = size_t(outW) * size_t(outH);
  sourceX_.assign(count, -1.f);
  sourceY_.assign(count, -1.f);
  sourceIndex_.assign(count, -1);
  size_t i = 0;
  for (int y = 0; y < outH; ++y) {
    for (int x = 0; x < outW; ++x, ++i) {
      const Point2d q = cameraIn_->Project(cameraOut_->UnProject(Point2d(x, y)));
      const double qx = snapToWhole(q.x), qy = snapToWhole(q.y);
      if (!(qx >= 0 && qx < inW && qy >= 0 && qy < inH)) continue;
      sourceX_[i] = float(qx);
      sourceY_[i] = float(qy);
      const int64_t index = int64_t(qy) * inW + int64_t(qx);
      if (index <= INT32_MAX) sourceIndex_[i] = int32_t(index);
    }
  }
  ready_ = true;
}

bool UndistorterImpl::undistort(const GImage& in, GImage& out) const {
  if (!ready_) {
    out = in;
    return false;
  }
  if (in.cols != cameraIn_->width || in.rows != cameraIn_->height || !in.data) {
    FW_LOG(fw::kLogWarning)
        << "input image size differs from expected input size! Not undistorting.";
    out = in;
    return false;
  }
  GImage result(cameraOut_->height, cameraOut_->width, in.type);
  if (result.data) {
    const size_t bytes = size_t(in.elemSize());
    switch (bytes) {
      case 1:
        copyPixels<1>(in.data, result.data, sourceIndex_);
        break;
      case 3:
        copyPixels<3>(in.data, result.data, sourceIndex_);
        break;
      case 4:
        copyPixels<4>(in.data, result.data, sourceIndex_);
        break;
      default:
        copyPixels(in.data, result.data, sourceIndex_, bytes);
    }
  }
  out = result;
  return true;
}

}  // namespace fw
