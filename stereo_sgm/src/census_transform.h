#pragma once

namespace sgm {

class DeviceImage;

// Census words of every pixel whose 9 x 7 window lies inside the image; the destination is
// (re)created with 64-bit words for census mode 0, 32-bit for mode 1, and its border keeps
// what it held (zeros from the matcher's fill).
void census_transform(const DeviceImage& src, DeviceImage& dst, int census_mode);

}  // namespace sgm
