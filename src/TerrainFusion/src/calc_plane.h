#pragma once

#include "framework/pose.h"
#include "values/point.h"

#include <random>
#include <vector>

// Fits a plane to the points by random sample consensus and a least-squares refit of the
// inliers. `plane` maps plane coordinates (z along the normal, pointing up in z) to the
// points' frame. False, outputs untouched, with fewer than 10 points, no valid sample, fewer
// than 3 inliers or a normal along the y axis.
bool CalcPlane(const std::vector<pi::Point3d>& points, SE3& plane, std::vector<int>& outliers,
               double threshold, std::mt19937& random);
