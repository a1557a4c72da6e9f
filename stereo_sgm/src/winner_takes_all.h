#pragma once

namespace sgm {

class DeviceImage;

// Left disparities (unique winners, refined with subpixel, else invalid) and right
// disparities (plain winners along the right view) from the cost volume into two 16-bit
// images of the image size (created by the caller).
void winner_takes_all(const DeviceImage& costs, DeviceImage& left, DeviceImage& right,
                      int disparity_size, float uniqueness, bool subpixel, int path_mode);

}  // namespace sgm
