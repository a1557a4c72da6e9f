#pragma once

#include "farmland.h"

#include <opencv2/core.hpp>

#include <memory>
#include <vector>

// A textured surface with real relief for the synthetic flight: rolling hills and a
// hollow, buildings with flat roofs and vertical walls, a flat road, and round survey
// markers whose centres are known; or farmland (furrowed fields, trees, a few buildings,
// the road and markers along it only). Coordinates are metres east, north and up from the
// take-off point in its local tangent plane; the ground at take-off is height 0.
namespace flight {

struct SceneOptions {
  double east_min = -100.0, east_max = 100.0;  // area covered by the rasters
  double north_min = -100.0, north_max = 100.0;
  double texel = 0.1;            // metres per orthophoto and height-map cell
  double terrain_cell = 0.5;     // metres per cell of the smooth ground raster
  double marker_radius = 0.6;    // radius of the white disc of a survey marker
  double marker_spacing = 20.0;  // metres between survey markers
  unsigned seed = 7;             // texture and layout noise
  // Farmland instead of the hilly town: fields of fine, low-contrast furrows in
  // near-infrared colours, a few buildings, trees and the road.
  bool furrowed_fields = false;
  double field_texture = 1.0;  // contrast of the fields' furrows and soil (Farmland's texture)
};

struct Building {
  double east0, north0, east1, north1;  // footprint, axis aligned
  double roof;                          // roof height
  cv::Vec3b wall_colour;                // blue, green, red
};

// Where a ray meets the surface.
struct SurfaceHit {
  double t = 0.0;    // ray parameter
  cv::Vec3d point;   // east, north, up
  cv::Vec3b colour;  // blue, green, red
};

class SyntheticScene {
 public:
  explicit SyntheticScene(const SceneOptions& options);

  const SceneOptions& options() const { return options_; }
  // Ground without buildings, trees' crowns included (the road is exactly at height 0).
  double groundHeight(double east, double north) const;
  // Ground or roof, whichever is higher.
  double surfaceHeight(double east, double north) const;
  // First point of the surface on origin + t * direction with t > 0; false when the ray
  // leaves the area without meeting it.
  bool intersect(const cv::Vec3d& origin, const cv::Vec3d& direction, SurfaceHit* hit) const;

  // Rasters on the texel grid, row 0 at the north edge, column 0 at the west edge; cell
  // (r, c) is centred at east_min + (c + 0.5) texel, north_max - (r + 0.5) texel.
  cv::Mat heightMap() const;                                 // CV_32FC1
  const cv::Mat& orthophoto() const { return orthophoto_; }  // CV_8UC3
  const std::vector<Building>& buildings() const { return buildings_; }
  const std::vector<cv::Vec3d>& markers() const { return markers_; }
  const std::vector<Tree>& trees() const { return trees_; }
  double minHeight() const { return min_height_; }
  double maxHeight() const { return max_height_; }

 private:
  double smoothGround(double east, double north) const;
  const Building* buildingAt(double east, double north) const;
  cv::Vec3b textureAt(double east, double north) const;
  cv::Vec3b wallColour(const Building& b, const cv::Vec3d& p, int face) const;
  bool marchGround(const cv::Vec3d& o, const cv::Vec3d& d, double t0, double t1, double* t) const;
  void layOutBuildings();
  void plantTrees();
  void paintOrthophoto();
  void placeMarkers();

  SceneOptions options_;
  std::vector<cv::Vec4d> hills_;  // east, north, sigma, amplitude
  cv::Mat ground_;                // CV_64FC1 smooth ground on the terrain grid
  std::vector<Building> buildings_;
  std::shared_ptr<const Farmland> farmland_;  // only for farmland
  std::vector<Tree> trees_;
  cv::Mat canopy_;  // CV_64FC1 crown heights on the terrain grid (farmland)
  cv::Mat orthophoto_;
  std::vector<cv::Vec3d> markers_;
  double min_height_ = 0.0, max_height_ = 0.0;
};

}  // namespace flight
