#include "cost_aggregation.h"
#include "cuda_utils.h"
#include "device_image.h"

#include <cuda_runtime.h>

#include "cost_aggregation_kernel.cuh"

#include <stdexcept>

namespace sgm {
namespace cost_aggregation {
namespace {

using namespace device::aggregation;

// Streams of one aggregation; destroyed on every way out.
class PathStreams {
 public:
  explicit PathStreams(int count) {
    for (; count_ < count; ++count_) SGM_CHECK_CUDA(cudaStreamCreate(&streams_[count_]));
  }
  ~PathStreams() {
    for (int i = 0; i < count_; ++i) cudaStreamDestroy(streams_[i]);
  }
  PathStreams(const PathStreams&) = delete;
  PathStreams& operator=(const PathStreams&) = delete;
  cudaStream_t operator[](int i) const { return streams_[i]; }
  void synchronize() const {
    for (int i = 0; i < count_; ++i) SGM_CHECK_CUDA(cudaStreamSynchronize(streams_[i]));
  }

 private:
  cudaStream_t streams_[8] = {};
  int count_ = 0;
};

template <typename C, int D>
void aggregatePaths(const DeviceImage& left, const DeviceImage& right, DeviceImage& dst, int p1,
                    int p2, int paths, int min_disparity) {
  const int width = static_cast<int>(left.cols), height = static_cast<int>(left.rows);
  const std::size_t slice = static_cast<std::size_t>(width) * height * D;
  PathStreams streams(paths);
  for (int k = 0; k < paths; ++k) {
    const PathLaunch l = pathLaunch<D>(kPathDx[k], kPathDy[k], width, height);
    const PathArgs a{width, height, kPathDx[k], kPathDy[k], l.lines, p1, p2, min_disparity};
    std::uint8_t* out = dst.ptr<std::uint8_t>() + slice * k;
    if (a.dy == 0) {
      aggregateKernel<C, D, kRowDisparitiesPerThread><<<l.blocks, l.threads, 0, streams[k]>>>(
          left.ptr<const C>(), right.ptr<const C>(), out, a);
    } else {
      aggregateKernel<C, D, kLongDisparitiesPerThread><<<l.blocks, l.threads, 0, streams[k]>>>(
          left.ptr<const C>(), right.ptr<const C>(), out, a);
    }
    SGM_CHECK_LAUNCH();
  }
  streams.synchronize();
}

template <typename C>
void aggregateFor(const DeviceImage& left, const DeviceImage& right, DeviceImage& dst, int D,
                  int p1, int p2, int paths, int min_disparity) {
  switch (D) {
    case 64:
      return aggregatePaths<C, 64>(left, right, dst, p1, p2, paths, min_disparity);
    case 128:
      return aggregatePaths<C, 128>(left, right, dst, p1, p2, paths, min_disparity);
    case 256:
      return aggregatePaths<C, 256>(left, right, dst, p1, p2, paths, min_disparity);
    default:
      throw std::logic_error("disparity size must be 64 or 128 or 256");
  }
}

}  // namespace

void aggregate_costs(const DeviceImage& left, const DeviceImage& right, DeviceImage& dst,
                     int disparity_size, int p1, int p2, int path_mode, int min_disparity) {
  if (left.type != right.type) throw std::logic_error("left and right image type must be same.");
  if (path_mode != kPathMode4 && path_mode != kPathMode8)
    throw std::logic_error("path mode must be 0 or 1");
  const int paths = pathCount(path_mode);
  dst.create(paths, left.rows * left.cols * disparity_size, ImageType::k8Bit);
  if (left.rows == 0 || left.cols == 0) return;
  switch (left.type) {
    case ImageType::k32Bit:
      return aggregateFor<std::uint32_t>(left, right, dst, disparity_size, p1, p2, paths,
                                         min_disparity);
    case ImageType::k64Bit:
      return aggregateFor<std::uint64_t>(left, right, dst, disparity_size, p1, p2, paths,
                                         min_disparity);
    default:
      throw std::logic_error("census images must hold 32- or 64-bit words");
  }
}

}  // namespace cost_aggregation
}  // namespace sgm
