#include "turned_patch.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace sfm {
namespace {

constexpr int kPositionBits = 10;  // fixed point of the source positions along a row
constexpr int kFractionBits = 5;   // a 32nd of a pixel between source pixels
constexpr int kFractions = 1 << kFractionBits;
constexpr int kWeightBits = 15;  // the four weights sum to 2^15

int rounded(double v) { return static_cast<int>(std::lrint(v)); }

}  // namespace

cv::Mat turnedPatch(const cv::Mat& patch, const cv::Matx22f& turn) {
  if (patch.type() != CV_8UC1)
    throw std::invalid_argument("turning a patch that is not 8-bit single-channel");
  if (patch.cols > kMostTurnedColumns)
    throw std::invalid_argument("turning a patch wider than " + std::to_string(kMostTurnedColumns) +
                                " pixels");
  // The forward map, as floats, destination = turn * (source - middle) + middle.
  const cv::Point2f middle(patch.cols / 2, patch.rows / 2);
  const cv::Point2f moved_middle = turn * cv::Vec2f(middle.x, middle.y);
  double m[6] = {turn(0, 0), turn(0, 1), middle.x - moved_middle.x,
                 turn(1, 0), turn(1, 1), middle.y - moved_middle.y};
  // Its inverse, source from destination, in double precision.
  double d = m[0] * m[4] - m[1] * m[3];
  d = d != 0 ? 1.0 / d : 0.0;
  const double a11 = m[4] * d, a22 = m[0] * d;
  m[0] = a11;
  m[1] *= -d;
  m[3] *= -d;
  m[4] = a22;
  const double b1 = -m[0] * m[2] - m[1] * m[5];
  const double b2 = -m[3] * m[2] - m[4] * m[5];
  m[2] = b1;
  m[5] = b2;

  constexpr int scale = 1 << kPositionBits;
  constexpr int round_delta = scale / kFractions / 2;
  int along_x[kMostTurnedColumns], along_y[kMostTurnedColumns];
  for (int x = 0; x < patch.cols; ++x) {
    along_x[x] = rounded(m[0] * x * scale);
    along_y[x] = rounded(m[3] * x * scale);
  }
  cv::Mat out(patch.size(), CV_8UC1);
  const int last_x = patch.cols - 1, last_y = patch.rows - 1;
  for (int y = 0; y < patch.rows; ++y) {
    const int x0 = rounded((m[1] * y + m[2]) * scale) + round_delta;
    const int y0 = rounded((m[4] * y + m[5]) * scale) + round_delta;
    uchar* row = out.ptr<uchar>(y);
    for (int x = 0; x < patch.cols; ++x) {
      const int sx32 = (x0 + along_x[x]) >> (kPositionBits - kFractionBits);
      const int sy32 = (y0 + along_y[x]) >> (kPositionBits - kFractionBits);
      const int sx = sx32 >> kFractionBits, sy = sy32 >> kFractionBits;
      const int fx = sx32 & (kFractions - 1), fy = sy32 & (kFractions - 1);
      // Each weight is a product of two 32nds of a pixel: whole in 2^15.
      const int w00 = (kFractions - fx) * (kFractions - fy) * kFractions;
      const int w01 = fx * (kFractions - fy) * kFractions;
      const int w10 = (kFractions - fx) * fy * kFractions;
      const int w11 = fx * fy * kFractions;
      const int xa = std::clamp(sx, 0, last_x), xb = std::clamp(sx + 1, 0, last_x);
      const int ya = std::clamp(sy, 0, last_y), yb = std::clamp(sy + 1, 0, last_y);
      const uchar* top = patch.ptr<uchar>(ya);
      const uchar* bottom = patch.ptr<uchar>(yb);
      const int sum = top[xa] * w00 + top[xb] * w01 + bottom[xa] * w10 + bottom[xb] * w11;
      row[x] = cv::saturate_cast<uchar>((sum + (1 << (kWeightBits - 1))) >> kWeightBits);
    }
  }
  return out;
}

}  // namespace sfm
