#include "src/TerrainFusion/src/raster_colouring.h"

#include "src/TerrainFusion/src/terrain_geometry.h"
#include "src/TerrainFusion/src/tile_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using tile_model::kPixelsPerCell;

// A pixel at a time, in the plain order of the operations: the colouring projects its rows two
// pixels at a time and must give these very bytes.
void colourOnePixelAtATime(const ColourLookup& k, const RasterLayout& layout,
                           const cv::Mat& heights, const cv::Mat& cellWeights, double meanHeight,
                           double shift, cv::Mat& dom, cv::Mat& weight) {
  for (int row = 0; row < layout.rows; ++row) {
    std::vector<double> cellHeights(layout.columns);
    std::vector<bool> empty(layout.columns);
    double running = meanHeight;
    for (int column = 0; column < layout.columns; ++column) {
      const float cell = heights.at<float>(row, column);
      empty[column] = !(cell >= -10000.0);
      if (!empty[column]) running = cell;
      cellHeights[column] = running - shift;
    }
    for (int py = row * kPixelsPerCell; py < (row + 1) * kPixelsPerCell; ++py) {
      const double dy = py + 0.5;
      const double x0 = layout.originEnu[0] + layout.enuFromPixel(0, 1) * dy;
      const double y0 = layout.originEnu[1] + layout.enuFromPixel(1, 1) * dy;
      const cv::Vec3d rowStart = terrain::apply(k.cameraFromEnu, {x0, y0, 0.0});
      for (int px = 0; px < layout.columns * kPixelsPerCell; ++px) {
        const int column = px / kPixelsPerCell;
        const double dx = px + 0.5;
        const double x = x0 + layout.enuFromPixel(0, 0) * dx;
        const double y = y0 + layout.enuFromPixel(1, 0) * dx;
        const double z = cellHeights[column] - terrain::curvatureDrop(x, y);
        const cv::Vec3d c = rowStart + dx * k.alongColumn + z * k.alongHeight;
        if (!(c[2] > 0.0)) continue;
        const double u = fw::pixelOfPoint(k.pinhole.fx, k.pinhole.cx, c[0], c[2]);
        const double v = fw::pixelOfPoint(k.pinhole.fy, k.pinhole.cy, c[1], c[2]);
        if (!(u >= -0.5 && u < k.imageW - 0.5 && v >= -0.5 && v < k.imageH - 0.5)) continue;
        const int iu = int(u + 0.5), iv = int(v + 0.5);
        if (iu >= k.imageW || iv >= k.imageH || !k.footprint->sees(iu, iv)) continue;
        dom.at<cv::Vec3b>(py, px) = k.footprint->mean(c);
        uchar w = 1;
        if (!empty[column]) {
          const int du = iu - k.imageW / 2, dv = iv - k.imageH / 2;
          const int d = int(std::sqrt(double(du * du + dv * dv)));
          w = uchar(255.0f - float(d << 7) / k.radius);
        }
        weight.at<uchar>(py, px) = uchar(float(w) * cellWeights.at<float>(row, column));
      }
    }
  }
}

// An oblique camera 100 m up over a raster turned against the ENU axes that reaches past the
// image and into its unseen margin, with cells of every kind: with heights, without (below the
// empty mark and NaN), and one above the camera, behind it.
struct ObliqueScene {
  DecodedImage decoded;
  fw::Pinhole pinhole{150.0, 150.0, 99.5, 74.5};
  cv::Matx34d cameraFromEnu;
  RasterLayout layout;
  cv::Mat heights, cellWeights;
  ColourLookup lookup;

  explicit ObliqueScene(int columns, int rows) {
    cv::RNG rng(23);
    decoded.image.create(150, 200, CV_8UC3);
    rng.fill(decoded.image, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(256));
    decoded.seen = cv::Mat(150, 200, CV_8UC1, cv::Scalar(255));
    decoded.seen.colRange(0, 20).setTo(cv::Scalar(0));
    // Looking down, tilted by 0.4 rad about the east axis.
    const double c = std::cos(0.4), s = std::sin(0.4);
    cameraFromEnu = cv::Matx34d(1, 0, 0, 0, 0, -c, -s, 100 * s, 0, s, -c, 100 * c);
    layout.columns = columns;
    layout.rows = rows;
    layout.enuFromPixel = cv::Matx22d(1.5, 0.2, 0.1, -1.5);
    layout.originEnu = cv::Vec2d(-55.0, 20.0);
    layout.columnStep = layout.rowStep = 1.5;
    heights.create(rows, columns, CV_32F);
    rng.fill(heights, cv::RNG::UNIFORM, -5.0, 20.0);
    heights.at<float>(1, 0) = -1e5f;
    heights.at<float>(2, 3) = std::numeric_limits<float>::quiet_NaN();
    heights.at<float>(rows - 1, columns - 1) = 150.0f;
    cellWeights.create(rows, columns, CV_32F);
    rng.fill(cellWeights, cv::RNG::UNIFORM, 0.0, 1.0);
    setUpColourLookup(decoded, decoded.image.size(), pinhole, cameraFromEnu, 100.0 / 150.0, layout,
                      lookup);
  }

  cv::Mat whiteDom() const {
    return cv::Mat(layout.rows * kPixelsPerCell, layout.columns * kPixelsPerCell, CV_8UC3,
                   cv::Scalar::all(255));
  }
  cv::Mat noWeight() const {
    return cv::Mat(layout.rows * kPixelsPerCell, layout.columns * kPixelsPerCell, CV_8UC1,
                   cv::Scalar(0));
  }
};

TEST(RasterColouring, PairedProjectionGivesThePixelAtATimeBytes) {
  // An odd and an even count of cells across, rows of 52 and 64 pixels.
  for (const int columns : {13, 16}) {
    const ObliqueScene scene(columns, 9);
    cv::Mat dom = scene.whiteDom(), weight = scene.noWeight();
    colourRaster(scene.lookup, scene.layout, scene.heights, scene.cellWeights, 3.0, 1.5, dom,
                 weight);
    cv::Mat plainDom = scene.whiteDom(), plainWeight = scene.noWeight();
    colourOnePixelAtATime(scene.lookup, scene.layout, scene.heights, scene.cellWeights, 3.0, 1.5,
                          plainDom, plainWeight);
    EXPECT_EQ(cv::norm(dom, plainDom, cv::NORM_INF), 0.0) << columns << " cells across";
    EXPECT_EQ(cv::norm(weight, plainWeight, cv::NORM_INF), 0.0) << columns << " cells across";
    // Both outcomes are exercised: coloured pixels, and pixels the image does not see.
    int coloured = 0;
    for (int y = 0; y < dom.rows; ++y)
      for (int x = 0; x < dom.cols; ++x) coloured += dom.at<cv::Vec3b>(y, x) != cv::Vec3b::all(255);
    EXPECT_GT(coloured, dom.rows * dom.cols / 10);
    EXPECT_LT(coloured, dom.rows * dom.cols * 9 / 10);
  }
}

}  // namespace
