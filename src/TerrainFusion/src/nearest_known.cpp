#include "src/TerrainFusion/src/nearest_known.h"

#include <opencv2/imgproc.hpp>

#include <limits>
#include <vector>

cv::Mat nearestKnown(const cv::Mat& values, const cv::Mat& known, cv::Mat& distance) {
  cv::Mat nearest(values.size(), CV_32FC1, cv::Scalar(0));
  if (cv::countNonZero(known) == 0) {
    distance = cv::Mat(values.size(), CV_32FC1, cv::Scalar(std::numeric_limits<float>::max()));
    return nearest;
  }
  // Each known cell is its own label; every other cell carries the label of the nearest.
  cv::Mat labels;
  cv::distanceTransform(known == 0, distance, labels, cv::DIST_L2, cv::DIST_MASK_5,
                        cv::DIST_LABEL_PIXEL);
  std::vector<float> valueOfLabel(size_t(values.total()) + 1, 0.0f);
  for (int r = 0; r < values.rows; ++r) {
    for (int c = 0; c < values.cols; ++c) {
      if (known.at<uchar>(r, c) != 0)
        valueOfLabel[size_t(labels.at<int>(r, c))] = values.at<float>(r, c);
    }
  }
  for (int r = 0; r < values.rows; ++r) {
    for (int c = 0; c < values.cols; ++c)
      nearest.at<float>(r, c) = valueOfLabel[size_t(labels.at<int>(r, c))];
  }
  return nearest;
}
