#include "farmland.h"

#include <algorithm>
#include <cmath>

namespace flight {
namespace {

constexpr double kFieldSize = 140.0;  // metres between field centres
constexpr double kMargin = 1.6;       // metres of grass between fields

// Near-infrared false colour (blue, green, red = green, red, near infrared): a growing crop
// is pink to red, bare soil grey, stubble pale.
const cv::Vec3d kFieldColours[] = {
    {112, 104, 168}, {126, 122, 150}, {132, 134, 138}, {150, 152, 162}, {104, 98, 152}};
const cv::Vec3d kMarginColour{96, 92, 176};

}  // namespace

Farmland::Farmland(double east_min, double east_max, double north_min, double north_max,
                   unsigned seed, double texture)
    : east_min_(east_min), north_min_(north_min), texture_(texture) {
  cols_ = std::max(1, static_cast<int>(std::ceil((east_max - east_min) / kFieldSize)));
  rows_ = std::max(1, static_cast<int>(std::ceil((north_max - north_min) / kFieldSize)));
  cv::RNG rng(seed * 131u + 17u);
  // Most fields are ploughed along one of two directions, as a farm's land is.
  const double main_direction = rng.uniform(0.0, M_PI);
  for (int r = 0; r < rows_; ++r) {
    for (int c = 0; c < cols_; ++c) {
      Field f;
      f.centre = {east_min + (c + rng.uniform(0.2, 0.8)) * kFieldSize,
                  north_min + (r + rng.uniform(0.2, 0.8)) * kFieldSize};
      const double pick = rng.uniform(0.0, 1.0);
      const double angle = (pick < 0.45   ? main_direction
                            : pick < 0.85 ? main_direction + M_PI / 2
                                          : rng.uniform(0.0, M_PI)) +
                           rng.gaussian(0.03);
      f.across = {std::cos(angle), std::sin(angle)};
      f.period = rng.uniform(0.55, 1.1);
      f.phase = rng.uniform(0.0, 1.0);
      f.contrast = rng.uniform(0.035, 0.07);
      f.tramline_spacing = rng.uniform(18.0, 24.0);
      f.tramline_offset = rng.uniform(0.0, f.tramline_spacing);
      f.colour = kFieldColours[rng.uniform(0, 5)] * rng.uniform(0.92, 1.08);
      fields_.push_back(f);
    }
  }
}

const Farmland::Field& Farmland::fieldAt(double east, double north, double* margin) const {
  const int c0 = static_cast<int>(std::floor((east - east_min_) / kFieldSize));
  const int r0 = static_cast<int>(std::floor((north - north_min_) / kFieldSize));
  const cv::Vec2d p{east, north};
  const Field* nearest = nullptr;
  double best = 1e300, second = 1e300;
  for (int r = std::max(0, r0 - 1); r <= std::min(rows_ - 1, r0 + 1); ++r) {
    for (int c = std::max(0, c0 - 1); c <= std::min(cols_ - 1, c0 + 1); ++c) {
      const Field& f = fields_[r * cols_ + c];
      const double d = cv::norm(p - f.centre);
      if (d < best) {
        second = best;
        best = d;
        nearest = &f;
      } else {
        second = std::min(second, d);
      }
    }
  }
  if (!nearest) {  // outside the grid: the nearest corner field
    const int r = std::clamp(r0, 0, rows_ - 1), c = std::clamp(c0, 0, cols_ - 1);
    *margin = 1e9;
    return fields_[r * cols_ + c];
  }
  // Half the difference of the distances to the two nearest centres approximates the
  // distance to the border between their cells.
  *margin = (second - best) / 2.0;
  return *nearest;
}

cv::Vec3d Farmland::colourAt(double east, double north, double grain, double mottle,
                             double patch) const {
  double margin = 0.0;
  const Field& f = fieldAt(east, north, &margin);
  if (margin < kMargin) return kMarginColour * (0.82 + 0.3 * grain + 0.1 * mottle);
  const double across = east * f.across[0] + north * f.across[1];
  // A furrow's profile: a ridge lit on one side, a shaded trough.
  const double wave = std::sin(2.0 * M_PI * (across / f.period + f.phase));
  const double furrow = wave + 0.35 * std::sin(4.0 * M_PI * (across / f.period + f.phase));
  // Tramlines: two wheel tracks 1.8 m apart every tramline_spacing, along the furrows.
  double from_tramline = std::fmod(across - f.tramline_offset, f.tramline_spacing);
  if (from_tramline < 0.0) from_tramline += f.tramline_spacing;
  const bool track = std::abs(from_tramline - 0.9) < 0.22 ||
                     std::abs(from_tramline - (f.tramline_spacing - 0.9)) < 0.22;
  const double shade = 1.0 + texture_ * f.contrast * furrow + texture_ * 0.06 * (grain - 0.5) +
                       texture_ * 0.08 * (mottle - 0.5) + 0.1 * (patch - 0.5) -
                       (track ? 0.12 : 0.0);
  return f.colour * shade;
}

double crownHeight(const Tree& tree, double east, double north) {
  const double de = east - tree.east, dn = north - tree.north;
  const double r2 = (de * de + dn * dn) / (tree.radius * tree.radius);
  if (r2 >= 1.0) return 0.0;
  const double half = tree.height / 2.0;
  return half + half * std::sqrt(1.0 - r2);
}

}  // namespace flight
