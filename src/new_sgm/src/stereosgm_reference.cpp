#include "stereosgm_reference.h"

#include "stereo_sgm/src/reference_matcher.h"
#include "stereosgm_front.h"

#include <memory>

cv::Mat referenceDisparitySGM(cv::Mat left, cv::Mat right, int disparitySize, int minDisparity,
                              int pathCount) {
  return sgm_front::matchPair(left, right, disparitySize, minDisparity, pathCount,
                              [](int width, int height, int size, const sgm::MatcherParameters& p) {
                                return std::make_unique<sgm::ReferenceMatcher>(width, height, size,
                                                                               8, 16, p);
                              });
}
