#include "src/TerrainFusion/src/halve_image.h"

#include <opencv2/imgproc.hpp>

void halveImage(const cv::Mat& source, cv::Mat& destination) {
  if (source.cols < 2 || source.rows < 2) {
    destination.release();
    return;
  }
  cv::resize(source, destination, cv::Size(source.cols / 2, source.rows / 2), 0, 0,
             cv::INTER_NEAREST);
}
