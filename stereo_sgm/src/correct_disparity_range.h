#pragma once

namespace sgm {

class DeviceImage;

// Shifts a 16-bit disparity image by the minimum disparity, in place (nothing to do without
// subpixel and with minimum 0); invalid values become min_disparity - 1 in output scale.
void correct_disparity_range(DeviceImage& disparity, bool subpixel, int min_disparity);

}  // namespace sgm
