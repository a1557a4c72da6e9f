#include "src/TerrainFusion/src/raster_colouring.h"

#include "src/TerrainFusion/src/terrain_geometry.h"
#include "src/TerrainFusion/src/tile_model.h"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using tile_model::kPixelsPerCell;
constexpr double kEmptyCell = -10000.0;  // DSM cells below this have no height

// One DSM row's heights as the colouring reads them: a cell without height takes the last
// height before it in the row (the mean height at the row's start), all lowered by `shift`
// back to the ENU frame.
void rowHeights(const cv::Mat& heights, int row, double meanHeight, double shift,
                std::vector<double>& cellHeights, std::vector<char>& emptyCells) {
  double running = meanHeight;
  for (int column = 0; column < heights.cols; ++column) {
    const float cell = heights.at<float>(row, column);
    emptyCells[column] = !(cell >= kEmptyCell);
    if (!emptyCells[column]) running = cell;
    cellHeights[column] = running - shift;
  }
}

}  // namespace

namespace {

// What colouring one raster row reads, copied out of the lookup and the layout: the stores
// through the rows' byte pointers could otherwise alias them and force reloads at every
// pixel.
struct RowColouring {
  cv::Matx34d cameraFromEnu;
  cv::Vec3d alongColumn, alongHeight;
  fw::Pinhole pinhole;
  cv::Matx22d enuFromPixel;
  cv::Vec2d originEnu;
  int imageW, imageH, pixels;
  float radius;
  const FootprintSampler* footprint;
};

// The camera points (c0, c1, c2) and image positions (u, v) of one raster row's pixels:
// `points` holds five rows of `pixels` values each.
struct RowPoints {
  std::vector<double> points;
  double *c0, *c1, *c2, *u, *v;
  explicit RowPoints(int pixels) : points(5 * size_t(pixels)) {
    c0 = points.data();
    c1 = c0 + pixels;
    c2 = c1 + pixels;
    u = c2 + pixels;
    v = u + pixels;
  }
  // The pointers lead into `points`: a copy's would lead into the original's.
  RowPoints(const RowPoints&) = delete;
  RowPoints& operator=(const RowPoints&) = delete;
};

// Projects row `py` two pixels at a time, by the very operations, in the very order, of the
// scalar tail (IEEE operations lane by lane): the divisions, three a pixel, cost most of the
// colouring besides the sampling. Positions behind the camera come out meaningless, and
// are never read.
void projectRow(const RowColouring& k, int py, const double* cellHeights, RowPoints& out) {
  const double dy = py + 0.5;
  const double x0 = k.originEnu[0] + k.enuFromPixel(0, 1) * dy;
  const double y0 = k.originEnu[1] + k.enuFromPixel(1, 1) * dy;
  const cv::Vec3d rowStart = terrain::apply(k.cameraFromEnu, {x0, y0, 0.0});
  int px = 0;
#if CV_SIMD128_64F
  // Both pixels of a pair lie in one cell: cells are kPixelsPerCell wide, an even number.
  static_assert(kPixelsPerCell % 2 == 0, "a pair of pixels must share a cell");
  const cv::v_float64x2 vx0 = cv::v_setall_f64(x0), vy0 = cv::v_setall_f64(y0);
  const cv::v_float64x2 e00 = cv::v_setall_f64(k.enuFromPixel(0, 0));
  const cv::v_float64x2 e10 = cv::v_setall_f64(k.enuFromPixel(1, 0));
  const cv::v_float64x2 twoRadii = cv::v_setall_f64(2.0 * terrain::kCurvatureRadius);
  cv::v_float64x2 start[3], column[3], height[3];
  for (int i = 0; i < 3; ++i) {
    start[i] = cv::v_setall_f64(rowStart[i]);
    column[i] = cv::v_setall_f64(k.alongColumn[i]);
    height[i] = cv::v_setall_f64(k.alongHeight[i]);
  }
  const cv::v_float64x2 fx = cv::v_setall_f64(k.pinhole.fx), fy = cv::v_setall_f64(k.pinhole.fy);
  const cv::v_float64x2 cx = cv::v_setall_f64(k.pinhole.cx), cy = cv::v_setall_f64(k.pinhole.cy);
  for (; px + 2 <= k.pixels; px += 2) {
    const cv::v_float64x2 dx(px + 0.5, px + 1.5);
    const cv::v_float64x2 x = vx0 + e00 * dx, y = vy0 + e10 * dx;
    const cv::v_float64x2 z =
        cv::v_setall_f64(cellHeights[px / kPixelsPerCell]) - (x * x + y * y) / twoRadii;
    const cv::v_float64x2 c0 = (start[0] + column[0] * dx) + height[0] * z;
    const cv::v_float64x2 c1 = (start[1] + column[1] * dx) + height[1] * z;
    const cv::v_float64x2 c2 = (start[2] + column[2] * dx) + height[2] * z;
    cv::v_store(out.c0 + px, c0);
    cv::v_store(out.c1 + px, c1);
    cv::v_store(out.c2 + px, c2);
    cv::v_store(out.u + px, fw::pixelOfPoint(fx, cx, c0, c2));
    cv::v_store(out.v + px, fw::pixelOfPoint(fy, cy, c1, c2));
  }
#endif
  for (; px < k.pixels; ++px) {
    const double dx = px + 0.5;
    const double x = x0 + k.enuFromPixel(0, 0) * dx, y = y0 + k.enuFromPixel(1, 0) * dx;
    const double z = cellHeights[px / kPixelsPerCell] - terrain::curvatureDrop(x, y);
    const cv::Vec3d c = rowStart + dx * k.alongColumn + z * k.alongHeight;
    out.c0[px] = c[0];
    out.c1[px] = c[1];
    out.c2[px] = c[2];
    out.u[px] = fw::pixelOfPoint(k.pinhole.fx, k.pinhole.cx, c[0], c[2]);
    out.v[px] = fw::pixelOfPoint(k.pinhole.fy, k.pinhole.cy, c[1], c[2]);
  }
}

// Colours DOM row `py` over cells of `cellHeights` (ENU heights, `emptyCells` without a
// height of their own) and weights `cellWeights`.
void colourRow(const RowColouring& k, int py, const double* cellHeights, const char* emptyCells,
               const float* cellWeights, RowPoints& points, cv::Vec3b* domRow, uchar* weightRow) {
  projectRow(k, py, cellHeights, points);
  const double right = k.imageW - 0.5, bottom = k.imageH - 0.5;
  for (int px = 0; px < k.pixels; ++px) {
    const int column = px / kPixelsPerCell;
    if (!(points.c2[px] > 0.0)) continue;
    const double u = points.u[px], v = points.v[px];
    if (!(u >= -0.5 && u < right && v >= -0.5 && v < bottom)) continue;
    // The weight goes by the nearest pixel; u + 0.5 is not negative here, so truncation
    // rounds.
    const int iu = int(u + 0.5), iv = int(v + 0.5);
    if (iu >= k.imageW || iv >= k.imageH || !k.footprint->sees(iu, iv)) continue;
    k.footprint->mean(cv::Vec3d(points.c0[px], points.c1[px], points.c2[px]), domRow[px]);
    uchar w = 1;
    if (!emptyCells[column]) {
      const int du = iu - k.imageW / 2, dv = iv - k.imageH / 2;
      const int d = int(std::sqrt(double(du * du + dv * dv)));
      w = uchar(255.0f - float(d << 7) / k.radius);
    }
    weightRow[px] = uchar(float(w) * cellWeights[column]);
  }
}

}  // namespace

void colourRaster(const ColourLookup& lookup, const RasterLayout& layout, const cv::Mat& heights,
                  const cv::Mat& cellWeights, double meanHeight, double shift, cv::Mat& dom,
                  cv::Mat& weight) {
  const RowColouring k{lookup.cameraFromEnu, lookup.alongColumn,  lookup.alongHeight,
                       lookup.pinhole,       layout.enuFromPixel, layout.originEnu,
                       lookup.imageW,        lookup.imageH,       layout.columns * kPixelsPerCell,
                       lookup.radius,        &*lookup.footprint};
  // Rows are independent: each starts its running height afresh.
  cv::parallel_for_(cv::Range(0, layout.rows), [&](const cv::Range& range) {
    const RowColouring local = k;
    std::vector<double> cellHeights(layout.columns);
    std::vector<char> emptyCells(layout.columns);
    RowPoints points(local.pixels);
    for (int row = range.start; row < range.end; ++row) {
      rowHeights(heights, row, meanHeight, shift, cellHeights, emptyCells);
      for (int py = row * kPixelsPerCell; py < (row + 1) * kPixelsPerCell; ++py) {
        colourRow(local, py, cellHeights.data(), emptyCells.data(), cellWeights.ptr<float>(row),
                  points, dom.ptr<cv::Vec3b>(py), weight.ptr<uchar>(py));
      }
    }
  });
}

double footprintPixelsOf(const RasterLayout& layout, double gsd) {
  return std::max(layout.columnStep, layout.rowStep) / gsd;
}

void setUpColourLookup(const DecodedImage& decoded, cv::Size imageSize, const fw::Pinhole& pinhole,
                       const cv::Matx34d& cameraFromEnu, double gsd, const RasterLayout& layout,
                       ColourLookup& lookup) {
  const cv::Matx34d& c = cameraFromEnu;
  const cv::Matx22d& a = layout.enuFromPixel;
  lookup.cameraFromEnu = c;
  lookup.pinhole = pinhole;
  lookup.imageW = imageSize.width;
  lookup.imageH = imageSize.height;
  const int w = lookup.imageW, h = lookup.imageH;
  lookup.radius =
      std::max(1.0f, float(int(std::sqrt(double((w / 2) * (w / 2) + (h / 2) * (h / 2))))));
  lookup.alongColumn =
      cv::Vec3d(c(0, 0) * a(0, 0) + c(0, 1) * a(1, 0), c(1, 0) * a(0, 0) + c(1, 1) * a(1, 0),
                c(2, 0) * a(0, 0) + c(2, 1) * a(1, 0));
  lookup.alongHeight = cv::Vec3d(c(0, 2), c(1, 2), c(2, 2));
  lookup.alongRow =
      cv::Vec3d(c(0, 0) * a(0, 1) + c(0, 1) * a(1, 1), c(1, 0) * a(0, 1) + c(1, 1) * a(1, 1),
                c(2, 0) * a(0, 1) + c(2, 1) * a(1, 1));
  // A DOM pixel usually spans several image pixels: its colour is their mean.
  lookup.footprint.emplace(decoded, pinhole, lookup.alongColumn, lookup.alongRow,
                           footprintPixelsOf(layout, gsd));
}
