#pragma once

// What a located frame's own sparse points say about the depths it sees: the points in its
// camera coordinates, the depths among them that can be trusted, and the height above
// ground as the stand-in when too few can.

#include "framework/map_frame.h"
#include "values/point.h"

#include <vector>

namespace sparse_depths {

// Depths nearer than this (metres) are taken as no depth at all.
inline constexpr double kMinDepth = 0.1;
// A depth further than this factor from the median depth (either way) is an outlier: at
// 100 m a point a few metres in front of the camera never widens the search.
inline constexpr double kPlausibleFactor = 3.0;
// Fewer plausible depths than this and the height above ground stands in for them.
inline constexpr size_t kMinDepths = 10;
// The range a height above ground h stands for: a nadir view sees the ground at about h,
// relief and tilt spread it.
inline constexpr double kHeightRangeLow = 0.5;
inline constexpr double kHeightRangeHigh = 2.0;

// The frame's sparse points in its camera's coordinates: one per key point that observes a
// map point with a usable depth.
std::vector<pi::Point3d> cameraPoints(fw::MapFrame& frame);

// The depths in front of the camera that lie within kPlausibleFactor of their median, in
// their given order.
std::vector<double> plausible(const std::vector<double>& depths);

// The frame's sparse points in camera coordinates whose depths are plausible; empty when
// fewer than kMinDepths are.
std::vector<pi::Point3d> plausiblePoints(fw::MapFrame& frame);

// The frame's height above the ground from its GPS record; false when it has none usable.
bool heightAboveGround(fw::MapFrame& frame, double* height);

// Image grid of the ground (kGridColumns x kGridRows pixels) in camera coordinates, for a
// camera looking down from `height` above flat ground.
inline constexpr int kGridColumns = 9;
inline constexpr int kGridRows = 7;
std::vector<pi::Point3d> groundGrid(fw::MapFrame& frame, double height);

}  // namespace sparse_depths
