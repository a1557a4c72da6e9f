#include "marker_finder.h"

#include <cmath>

namespace flight {

bool findMarkerCentre(const cv::Mat& image, cv::Point2d guess, double radius, cv::Point2d* centre) {
  CV_Assert(image.type() == CV_8UC3);
  constexpr double kDarkLevel = 60.0;  // the square is drawn at 18; the disc peaks at 240
  const int half_window = static_cast<int>(std::ceil(radius));
  cv::Point2d at = guess;
  for (int pass = 0; pass < 2; ++pass) {
    const int cx = static_cast<int>(std::lround(at.x)), cy = static_cast<int>(std::lround(at.y));
    if (cx - half_window < 0 || cy - half_window < 0 || cx + half_window >= image.cols ||
        cy + half_window >= image.rows) {
      return false;
    }
    double sum = 0.0, sx = 0.0, sy = 0.0;
    for (int r = cy - half_window; r <= cy + half_window; ++r) {
      const cv::Vec3b* row = image.ptr<cv::Vec3b>(r);
      for (int c = cx - half_window; c <= cx + half_window; ++c) {
        if ((c - at.x) * (c - at.x) + (r - at.y) * (r - at.y) > radius * radius) continue;
        const double w = std::max(0.0, (row[c][0] + row[c][1] + row[c][2]) / 3.0 - kDarkLevel);
        sum += w;
        sx += w * c;
        sy += w * r;
      }
    }
    if (sum < 200.0) return false;
    at = {sx / sum, sy / sum};
  }
  *centre = at;
  return true;
}

}  // namespace flight
