#include "framework/carried_frame_image.h"

#include "framework/frame_image_decoding.h"

namespace fw {

cv::Mat carriedFrameImage(MapFrame& frame, cv::Size camera, int factor) {
  int carried = 1;
  frame.call("GetImageReduction", &carried);
  if (carried < 2 || factor < carried || factor % carried != 0 || camera.empty()) return cv::Mat();
  const GImage image = frame.getImage(0, 0);
  if (image.type != CV_8UC3 || image.cols != (camera.width + carried - 1) / carried ||
      image.rows != (camera.height + carried - 1) / carried)
    return cv::Mat();
  return reduceFrameImage(cv::Mat(image), factor / carried);
}

}  // namespace fw
