#include "semi_global_matcher.h"

#include "census_transform.h"
#include "check_consistency.h"
#include "correct_disparity_range.h"
#include "cost_aggregation.h"
#include "cuda_utils.h"
#include "device_image.h"
#include "median_filter.h"
#include "winner_takes_all.h"

#include <cuda_runtime_api.h>

namespace sgm {

class SemiGlobalMatcher::Impl {
 public:
  Impl(int width, int height, int disparity_size, int src_depth_bits, int dst_depth_bits,
       int execute_mode, const Parameters& p);
  void execute(const void* left, const void* right, void* dst);

 private:
  int width_, height_, disparity_size_;
  std::int64_t src_pitch_, dst_pitch_;
  Parameters p_;
  ImageType src_type_;
  bool dst_16bit_, input_on_device_, output_on_device_;
  // Declared in creation order; released in reverse.
  DeviceImage src_left_, src_right_, census_left_, census_right_, costs_, disparity_left_,
      disparity_right_, filtered_left_, filtered_right_;
};

SemiGlobalMatcher::Impl::Impl(int width, int height, int disparity_size, int src_depth_bits,
                              int dst_depth_bits, int execute_mode, const Parameters& p)
    : width_(width),
      height_(height),
      disparity_size_(disparity_size),
      src_pitch_(width),
      dst_pitch_(width),
      p_(p) {
  checkMatcherConfiguration(width, height, disparity_size, src_depth_bits, dst_depth_bits, p);
  src_type_ = sourceType(src_depth_bits);
  dst_16bit_ = dst_depth_bits == 16;
  input_on_device_ = (execute_mode & kDeviceIn) != 0;
  output_on_device_ = (execute_mode & kDeviceOut) != 0;

  if (!input_on_device_) {
    src_left_.create(height, width, src_type_, src_pitch_);
    src_right_.create(height, width, src_type_, src_pitch_);
  }
  // The census stage never writes the border, which must compare as zero words.
  const ImageType census_type = p.census_mode == kCensus9x7 ? ImageType::k64Bit : ImageType::k32Bit;
  census_left_.create(height, width, census_type);
  census_right_.create(height, width, census_type);
  census_left_.fill_zero();
  census_right_.fill_zero();
  disparity_left_.create(height, width, ImageType::k16Bit, dst_pitch_);
  disparity_right_.create(height, width, ImageType::k16Bit, dst_pitch_);
  if (!(output_on_device_ && dst_16bit_))
    filtered_left_.create(height, width, ImageType::k16Bit, dst_pitch_);
  filtered_right_.create(height, width, ImageType::k16Bit, dst_pitch_);
}

void SemiGlobalMatcher::Impl::execute(const void* left, const void* right, void* dst) {
  if (input_on_device_) {
    src_left_.attach(const_cast<void*>(left), height_, width_, src_type_, src_pitch_);
    src_right_.attach(const_cast<void*>(right), height_, width_, src_type_, src_pitch_);
  } else {
    src_left_.upload(left);
    src_right_.upload(right);
  }
  if (output_on_device_ && dst_16bit_)
    filtered_left_.attach(dst, height_, width_, ImageType::k16Bit, dst_pitch_);

  census_transform(src_left_, census_left_, p_.census_mode);
  census_transform(src_right_, census_right_, p_.census_mode);
  cost_aggregation::aggregate_costs(census_left_, census_right_, costs_, disparity_size_,
                                    static_cast<int>(p_.P1), static_cast<int>(p_.P2), p_.path_mode,
                                    p_.min_disparity);
  // An 8-bit output of the previous run reused this buffer.
  disparity_left_.create(height_, width_, ImageType::k16Bit, dst_pitch_);
  winner_takes_all(costs_, disparity_left_, disparity_right_, disparity_size_, p_.uniqueness,
                   p_.subpixel, p_.path_mode);
  median_filter(disparity_left_, filtered_left_);
  median_filter(disparity_right_, filtered_right_);
  check_consistency(filtered_left_, filtered_right_, src_left_, p_.subpixel, p_.lr_max_diff);
  correct_disparity_range(filtered_left_, p_.subpixel, p_.min_disparity);

  if (!output_on_device_) {
    if (dst_16bit_) {
      filtered_left_.download(dst);
    } else {
      cast_16bit_to_8bit(filtered_left_, disparity_left_);
      disparity_left_.download(dst);
    }
    return;
  }
  if (!dst_16bit_) {
    DeviceImage out(dst, height_, width_, ImageType::k8Bit, dst_pitch_);
    cast_16bit_to_8bit(filtered_left_, out);
  }
  // Device output: a failure of any stage surfaces here, not in the caller's next call.
  SGM_CHECK_CUDA(cudaDeviceSynchronize());
}

SemiGlobalMatcher::SemiGlobalMatcher(int width, int height, int disparity_size, int src_depth_bits,
                                     int dst_depth_bits, int execute_mode, const Parameters& params)
    : impl_(std::make_unique<Impl>(width, height, disparity_size, src_depth_bits, dst_depth_bits,
                                   execute_mode, params)) {}

SemiGlobalMatcher::~SemiGlobalMatcher() = default;

void SemiGlobalMatcher::execute(const void* left, const void* right, void* dst) {
  impl_->execute(left, right, dst);
}

}  // namespace sgm
