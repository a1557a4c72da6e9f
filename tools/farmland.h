#pragma once

#include <opencv2/core.hpp>

#include <vector>

// Farmland for the synthetic scene, as a near-infrared camera sees it: fields ploughed or
// drilled in fine parallel furrows of low contrast, each with its own direction, spacing
// and tone, tramlines of the tractor's wheels, field margins, and trees with real crowns.
// The furrows repeat every few image pixels, so a patch matches many places along them;
// only the soil's grain, the tramlines and the margins tell the places apart.
namespace flight {

struct Tree {
  double east = 0.0, north = 0.0;
  double radius = 0.0;  // of the crown
  double height = 0.0;  // top of the crown above the ground
};

class Farmland {
 public:
  // Fields over the given area, from the seed; `texture` scales the contrast of the furrows,
  // the soil's crumbs and its clods (1: a ploughed field's; less: a crop's even cover).
  Farmland(double east_min, double east_max, double north_min, double north_max, unsigned seed,
           double texture = 1.0);

  // Colour (blue, green, red, before the relief's shading) of the field surface at a point;
  // `grain`, `mottle` and `patch` are smooth noise in 0..1 with periods of about 0.3, 4 and
  // 25 metres (the soil's crumbs, its clods, its damper and drier patches).
  cv::Vec3d colourAt(double east, double north, double grain, double mottle, double patch) const;

 private:
  struct Field {
    cv::Vec2d centre;
    cv::Vec2d across;  // unit vector across the furrows
    double period = 1.0;
    double phase = 0.0;
    double contrast = 0.05;
    double tramline_spacing = 20.0;
    double tramline_offset = 0.0;
    cv::Vec3d colour;
  };
  // The field whose centre is nearest, and how far the point is inside its margin.
  const Field& fieldAt(double east, double north, double* margin) const;

  double east_min_, north_min_;
  double texture_;
  int cols_ = 0, rows_ = 0;  // the grid of field centres, one jittered centre per cell
  std::vector<Field> fields_;
};

// Height of a tree's crown above the ground at a point (0 off the crown): a half ellipsoid on
// top of a trunk it hides, so its rim drops to the ground steeply.
double crownHeight(const Tree& tree, double east, double north);

}  // namespace flight
