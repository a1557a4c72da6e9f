#pragma once

#include "src/TerrainFusion/src/tile_access.h"
#include "values/point.h"

#include <opencv2/core.hpp>

#include <cstdint>

// A frame's dense heights that disagree with what the frames before it already stored are the
// frame's outliers (a mismatch of its pair, or a pose that tilts or lifts its whole surface),
// not heights: they leave its DSM, and its DOM pixels there, which were coloured at the wrong
// height, leave with them. Frames merge one at a time in the intake order, so what is stored
// when a frame merges, and with it what the frame loses, does not depend on the workers.
namespace height_outliers {

// A height strays when it lies this many of the two frames' depth errors off.
constexpr double kStraySigmas = 3.0;

// How far a frame's height may lie off the stored ones before it is an outlier: kStraySigmas
// of the difference of two heights of this depth error each, and never less than one DSM
// cell (`cellSize` metres), which the grid's own sampling already moves heights by on slopes.
// 0 (no check) when the depth error is not known.
float strayTolerance(double depthError, double cellSize);

// Cells around a stored height (kNeighbourhood x kNeighbourhood) that tell whether the stored
// ground there is level enough to judge a frame's height against.
constexpr int kNeighbourhood = 5;

// Drops the frame's heights (`dsm`, one cell per 4 x 4 pixels of `weight`) that lie more than
// `tolerance` below the lowest or above the highest stored height (`stored`, the DSM's size)
// around the cell, where the cell holds a stored height and the stored heights around it
// span no more than `tolerance`. Near relief (a roof edge, a wall, a lone stored spike) the
// heights two views give differ by what each sees and are not judged; over level ground a
// height off by more than the pairs' precision is the frame's error. The frame's weight goes
// to 0 in the dropped cells, so that the stored heights and colours stay. Cells where nothing
// is stored keep the frame's height: the check never costs coverage. Only cells whose
// strongest pixel weighs less than `judgedBelow` are judged. Returns the cells dropped.
int dropStrayHeights(cv::Mat& dsm, cv::Mat& weight, const cv::Mat& stored, float tolerance,
                     int judgedBelow = 256);

// Cells a frame must share with the stored heights before its level is taken from theirs.
constexpr int kMinSharedCells = 20;

// The height that moves a coarse surface (`dsm`) to the level of the stored heights
// (`stored`, its size): the median of their differences over the cells both hold a height
// in; 0 when they share fewer than kMinSharedCells.
float offsetToStored(const cv::Mat& dsm, const cv::Mat& stored);

// Share of the shared cells that must lie off the stored heights to one side, and within the
// tolerance of one level, before a frame's whole surface counts as lifted or sunk.
constexpr double kMovedShare = 0.75;

// The height that moves a dense frame's surface (`dsm`) to the level of the stored heights
// (`stored`, its size) when its pose lifted or sank all of it alike: offsetToStored's median,
// where it lies more than `tolerance` off, at least kMovedShare of the shared cells lie more
// than `tolerance` off to its side, and at least kMovedShare within `tolerance` of it; 0
// otherwise. A frame whose surface lies off the stored one in part only or by ever more across
// it (a tilt, a slip of its pair) keeps its level and leaves its strays to dropStrayHeights.
float liftToStored(const cv::Mat& dsm, const cv::Mat& stored, float tolerance);

// The heights stored in tiles firstTile..lastTile at `zoom` as one raster of 64 cells per
// tile (columns past the map's last one taken round it), with the strongest weight of each
// cell's pixels (route_weights.h); no height and weight 0 where no tile is stored. Read once
// in a frame's merge turn: the tiles do not change before the frame merges.
struct StoredCells {
  cv::Mat heights;  // CV_32FC1
  cv::Mat weights;  // CV_8UC1
};
StoredCells storedCells(TileAccess& access, const pi::Point2ll& firstTile,
                        const pi::Point2ll& lastTile, int32_t zoom);

// The stored heights whose cells weigh at least `weightFloor`: with kDenseWeightFloor the
// heights depth maps confirmed, with kPairOnlyWeightFloor also those a single image pair
// measured. Heights of sparse surfaces, which measured ones outrank, judge nothing.
cv::Mat heightsWeighingAtLeast(const StoredCells& stored, int weightFloor);

}  // namespace height_outliers
