#pragma once

#include <opencv2/core.hpp>

// The front's matching run on the CPU reference matcher: same checks, parameters and
// result as computeDisparitySGM, for tests on machines without a device.
cv::Mat referenceDisparitySGM(cv::Mat left, cv::Mat right, int disparitySize, int minDisparity,
                              int pathCount);
