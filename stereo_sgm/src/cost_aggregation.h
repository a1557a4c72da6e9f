#pragma once

namespace sgm {

class DeviceImage;

namespace cost_aggregation {

// Aggregated path costs of a census pair into the cost volume, (re)created as one 8-bit row
// of width x height x D costs per path (4 or 8 paths). Each path runs on its own stream;
// returns when all have finished.
void aggregate_costs(const DeviceImage& left, const DeviceImage& right, DeviceImage& dst,
                     int disparity_size, int p1, int p2, int path_mode, int min_disparity);

}  // namespace cost_aggregation
}  // namespace sgm
