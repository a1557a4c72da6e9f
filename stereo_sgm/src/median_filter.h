#pragma once

namespace sgm {

class DeviceImage;

// 3 x 3 median of an 8- or 16-bit image into dst (created like src); the one-pixel border
// becomes invalid (all bits set).
void median_filter(const DeviceImage& src, DeviceImage& dst);

}  // namespace sgm
