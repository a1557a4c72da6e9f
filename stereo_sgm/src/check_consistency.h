#pragma once

namespace sgm {

class DeviceImage;

// Left-right check, in place on the left disparity: invalid where the left source is 0,
// where the left is invalid, or where the right view disagrees by more than lr_max_diff.
void check_consistency(DeviceImage& left, const DeviceImage& right, const DeviceImage& src_left,
                       bool subpixel, int lr_max_diff);

}  // namespace sgm
