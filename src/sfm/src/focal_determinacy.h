#pragma once

#include <ceres/problem.h>

#include <vector>

namespace sfm {

// How well a solved adjustment determines a camera's focal length: its standard deviation,
// in the units of the focal length, from the adjustment's normal equations at the solution,
// with the points eliminated (each point's 3 x 3 block at a time, so the cost grows with the
// points only linearly) and the camera's first refined value the focal length.
// `reduced` are the camera block followed by the free poses and whatever else is not a point
// (the GPS's drifts and lever), each non-constant in the problem; every other non-constant block is
// a point seen by reprojection terms, whose rows weigh 1 / `pixel_sigma`² (the pixel noise of the
// observations) while prior terms are already in sigmas. Infinity when the equations are singular.
double focalStandardDeviation(ceres::Problem& problem, const std::vector<double*>& reduced,
                              double pixel_sigma, int threads);

}  // namespace sfm
