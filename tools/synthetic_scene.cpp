#include "synthetic_scene.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace flight {
namespace {

constexpr double kRoadHalfWidth = 4.0;  // the road is flat at height 0 within this distance
constexpr double kShoulder = 8.0;       // hills blend into the road over this distance
constexpr double kRoadEast = 0.0;       // the road runs north-south through the take-off point
constexpr double kMaxRoof = 18.0;       // relief stays within +-20 m of the take-off ground

double smoothstep(double x) {
  x = std::clamp(x, 0.0, 1.0);
  return x * x * (3.0 - 2.0 * x);
}

// Bilinear sample of a single-channel double raster at fractional cell coordinates.
double bilinear(const cv::Mat& m, double x, double y) {
  x = std::clamp(x, 0.0, m.cols - 1.000001);
  y = std::clamp(y, 0.0, m.rows - 1.000001);
  const int x0 = static_cast<int>(x), y0 = static_cast<int>(y);
  const double fx = x - x0, fy = y - y0;
  const double* r0 = m.ptr<double>(y0);
  const double* r1 = m.ptr<double>(y0 + 1);
  return (r0[x0] * (1 - fx) + r0[x0 + 1] * fx) * (1 - fy) +
         (r1[x0] * (1 - fx) + r1[x0 + 1] * fx) * fy;
}

// Smooth noise in 0..1 over a raster: random values on a coarse lattice of the given
// period (in cells), resized up with cubic interpolation.
cv::Mat noiseLayer(cv::RNG& rng, int cols, int rows, double period) {
  const int lc = std::max(2, static_cast<int>(cols / period) + 2);
  const int lr = std::max(2, static_cast<int>(rows / period) + 2);
  cv::Mat lattice(lr, lc, CV_32F);
  rng.fill(lattice, cv::RNG::UNIFORM, 0.0f, 1.0f);
  cv::Mat out;
  cv::resize(lattice, out, cv::Size(cols, rows), 0, 0, cv::INTER_CUBIC);
  return out;
}

// Hash-based lattice noise for wall surfaces, 0..1.
double hashNoise(double u, double v, unsigned seed) {
  auto hash = [seed](int64_t i, int64_t j) {
    uint64_t h = static_cast<uint64_t>(i) * 0x9E3779B97F4A7C15ull ^
                 static_cast<uint64_t>(j) * 0xC2B2AE3D27D4EB4Full ^ seed;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return static_cast<double>(h & 0xFFFF) / 65535.0;
  };
  const double fu = std::floor(u), fv = std::floor(v);
  const int64_t i = static_cast<int64_t>(fu), j = static_cast<int64_t>(fv);
  const double a = smoothstep(u - fu), b = smoothstep(v - fv);
  return (hash(i, j) * (1 - a) + hash(i + 1, j) * a) * (1 - b) +
         (hash(i, j + 1) * (1 - a) + hash(i + 1, j + 1) * a) * b;
}

cv::Vec3b scaled(cv::Vec3d colour, double f) {
  return cv::Vec3b(cv::saturate_cast<uchar>(colour[0] * f), cv::saturate_cast<uchar>(colour[1] * f),
                   cv::saturate_cast<uchar>(colour[2] * f));
}

}  // namespace

SyntheticScene::SyntheticScene(const SceneOptions& options) : options_(options) {
  cv::RNG rng(options_.seed);
  const double width = options_.east_max - options_.east_min;
  const double depth = options_.north_max - options_.north_min;
  const bool farmland = options_.furrowed_fields;
  // Hills and one hollow, placed at random over the area; farmland rolls more gently.
  const int hill_count =
      std::max(3, static_cast<int>(width * depth / (farmland ? 20000.0 : 6000.0)));
  for (int i = 0; i < hill_count; ++i) {
    const double e = rng.uniform(options_.east_min, options_.east_max);
    const double n = rng.uniform(options_.north_min, options_.north_max);
    const double sigma = farmland ? rng.uniform(35.0, 70.0) : rng.uniform(18.0, 35.0);
    const double amplitude = i == 0     ? (farmland ? -4.0 : -7.0)
                             : farmland ? rng.uniform(2.0, 5.0)
                                        : rng.uniform(4.0, 9.0);
    hills_.emplace_back(e, n, sigma, amplitude);
  }
  const double cell = options_.terrain_cell;
  const int cols = static_cast<int>(std::ceil(width / cell)) + 5;
  const int rows = static_cast<int>(std::ceil(depth / cell)) + 5;
  ground_.create(rows, cols, CV_64FC1);
  min_height_ = 0.0;
  max_height_ = 0.0;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < cols; ++c) {
      const double h =
          smoothGround(options_.east_min + (c - 2) * cell, options_.north_max - (r - 2) * cell);
      ground_.at<double>(r, c) = h;
      min_height_ = std::min(min_height_, h);
      max_height_ = std::max(max_height_, h);
    }
  }
  layOutBuildings();
  if (farmland) {
    farmland_ =
        std::make_shared<const Farmland>(options_.east_min, options_.east_max, options_.north_min,
                                         options_.north_max, options_.seed, options_.field_texture);
    plantTrees();
  }
  for (const Building& b : buildings_) max_height_ = std::max(max_height_, b.roof);
  placeMarkers();
  paintOrthophoto();
}

void SyntheticScene::plantTrees() {
  cv::RNG rng(options_.seed * 4241u + 3u);
  const double width = options_.east_max - options_.east_min;
  const double depth = options_.north_max - options_.north_min;
  auto clear = [&](double e, double n, double radius) {
    if (std::abs(e - kRoadEast) < kRoadHalfWidth + kShoulder + radius) return false;
    for (const Building& b : buildings_) {
      if (e > b.east0 - radius - 2.0 && e < b.east1 + radius + 2.0 && n > b.north0 - radius - 2.0 &&
          n < b.north1 + radius + 2.0)
        return false;
    }
    return true;
  };
  auto plant = [&](double e, double n) {
    Tree t{e, n, rng.uniform(2.0, 4.0), rng.uniform(6.0, 14.0)};
    if (e < options_.east_min + 5.0 || e > options_.east_max - 5.0 ||
        n < options_.north_min + 5.0 || n > options_.north_max - 5.0 || !clear(e, n, t.radius))
      return;
    trees_.push_back(t);
  };
  // Hedgerows: lines of trees along a few field edges.
  const int rows = std::max(2, static_cast<int>(width * depth / 80000.0));
  for (int i = 0; i < rows; ++i) {
    const double e = rng.uniform(options_.east_min, options_.east_max);
    const double n = rng.uniform(options_.north_min, options_.north_max);
    const double angle = rng.uniform(0.0, M_PI), length = rng.uniform(60.0, 160.0);
    for (double s = 0.0; s < length; s += rng.uniform(4.5, 7.5))
      plant(e + s * std::cos(angle), n + s * std::sin(angle));
  }
  // Single trees over the fields.
  const int singles = std::max(4, static_cast<int>(width * depth / 20000.0));
  for (int i = 0; i < singles; ++i) {
    plant(rng.uniform(options_.east_min, options_.east_max),
          rng.uniform(options_.north_min, options_.north_max));
  }
  // The crowns stand on the ground raster, so rays and heights meet them as they meet hills.
  canopy_ = cv::Mat::zeros(ground_.size(), CV_64FC1);
  const double cell = options_.terrain_cell;
  for (const Tree& t : trees_) {
    const int c0 =
        std::max(0, static_cast<int>((t.east - t.radius - options_.east_min) / cell) + 1);
    const int c1 = std::min(canopy_.cols - 1,
                            static_cast<int>((t.east + t.radius - options_.east_min) / cell) + 3);
    const int r0 =
        std::max(0, static_cast<int>((options_.north_max - t.north - t.radius) / cell) + 1);
    const int r1 = std::min(canopy_.rows - 1,
                            static_cast<int>((options_.north_max - t.north + t.radius) / cell) + 3);
    for (int r = r0; r <= r1; ++r) {
      for (int c = c0; c <= c1; ++c) {
        const double crown =
            crownHeight(t, options_.east_min + (c - 2) * cell, options_.north_max - (r - 2) * cell);
        canopy_.at<double>(r, c) = std::max(canopy_.at<double>(r, c), crown);
      }
    }
  }
  ground_ += canopy_;
  double lowest = 0.0, highest = 0.0;
  cv::minMaxLoc(ground_, &lowest, &highest);
  min_height_ = std::min(0.0, lowest);
  max_height_ = std::max(0.0, highest);
}

double SyntheticScene::smoothGround(double east, double north) const {
  double h = 0.0;
  for (const cv::Vec4d& hill : hills_) {
    const double de = east - hill[0], dn = north - hill[1];
    h += hill[3] * std::exp(-(de * de + dn * dn) / (2.0 * hill[2] * hill[2]));
  }
  h = std::clamp(h, -12.0, 12.0);
  const double road_distance = std::abs(east - kRoadEast) - kRoadHalfWidth;
  return h * smoothstep(road_distance / kShoulder);
}

double SyntheticScene::groundHeight(double east, double north) const {
  const double x = (east - options_.east_min) / options_.terrain_cell + 2.0;
  const double y = (options_.north_max - north) / options_.terrain_cell + 2.0;
  return bilinear(ground_, x, y);
}

const Building* SyntheticScene::buildingAt(double east, double north) const {
  for (const Building& b : buildings_) {
    if (east >= b.east0 && east < b.east1 && north >= b.north0 && north < b.north1) return &b;
  }
  return nullptr;
}

double SyntheticScene::surfaceHeight(double east, double north) const {
  const Building* b = buildingAt(east, north);
  return b ? b->roof : groundHeight(east, north);
}

void SyntheticScene::layOutBuildings() {
  cv::RNG rng(options_.seed * 7919u + 13u);
  const double width = options_.east_max - options_.east_min;
  const double depth = options_.north_max - options_.north_min;
  // Farmland has a farmstead or two, not a town.
  const int wanted =
      std::max(2, static_cast<int>(width * depth / (options_.furrowed_fields ? 50000.0 : 3500.0)));
  const cv::Vec3b wall_colours[] = {
      {170, 185, 200}, {120, 140, 165}, {200, 200, 195}, {110, 120, 140}};
  for (int attempt = 0; attempt < wanted * 40 && static_cast<int>(buildings_.size()) < wanted;
       ++attempt) {
    Building b;
    const double w = rng.uniform(10.0, 24.0), d = rng.uniform(10.0, 24.0);
    b.east0 = rng.uniform(options_.east_min + 5.0, options_.east_max - 5.0 - w);
    b.north0 = rng.uniform(options_.north_min + 5.0, options_.north_max - 5.0 - d);
    b.east1 = b.east0 + w;
    b.north1 = b.north0 + d;
    // Clear of the road and its shoulder, and of other buildings.
    if (b.east1 > kRoadEast - kRoadHalfWidth - 3.0 && b.east0 < kRoadEast + kRoadHalfWidth + 3.0)
      continue;
    bool clear = true;
    for (const Building& o : buildings_) {
      if (b.east0 < o.east1 + 4.0 && o.east0 < b.east1 + 4.0 && b.north0 < o.north1 + 4.0 &&
          o.north0 < b.north1 + 4.0)
        clear = false;
    }
    if (!clear) continue;
    double highest = -1e9;
    for (double e = b.east0; e <= b.east1; e += 1.0) {
      for (double n = b.north0; n <= b.north1; n += 1.0)
        highest = std::max(highest, groundHeight(e, n));
    }
    b.roof = highest + rng.uniform(6.0, 14.0);
    if (b.roof > kMaxRoof) continue;
    b.wall_colour = wall_colours[rng.uniform(0, 4)];
    buildings_.push_back(b);
  }
}

void SyntheticScene::placeMarkers() {
  const double spacing = options_.marker_spacing;
  const double clearance = options_.marker_radius + 1.5;
  // One column of markers along the road, the rest on a grid over hills and roofs; farmland
  // has a few along the road only, as a survey of fields would.
  const double road_spacing = options_.furrowed_fields ? 5.0 * spacing : spacing;
  for (double n = options_.north_min + road_spacing / 2; n < options_.north_max;
       n += road_spacing) {
    markers_.emplace_back(kRoadEast + 1.5, n, 0.0);
  }
  if (options_.furrowed_fields) return;
  for (double e = options_.east_min + spacing / 2; e < options_.east_max; e += spacing) {
    for (double n = options_.north_min + spacing / 2; n < options_.north_max; n += spacing) {
      if (std::abs(e - kRoadEast) < kRoadHalfWidth + kShoulder) continue;
      bool straddles = false;
      for (const Building& b : buildings_) {
        const bool near_x = e > b.east0 - clearance && e < b.east1 + clearance;
        const bool near_y = n > b.north0 - clearance && n < b.north1 + clearance;
        const bool inside = e > b.east0 + clearance && e < b.east1 - clearance &&
                            n > b.north0 + clearance && n < b.north1 - clearance;
        if (near_x && near_y && !inside) straddles = true;
      }
      if (!straddles) markers_.emplace_back(e, n, surfaceHeight(e, n));
    }
  }
}

// Every texel is painted once, by the first of roof, road, farmland or canopy, and open ground
// that covers it, then the markers on top: the precedence reads best as one loop.
void SyntheticScene::paintOrthophoto() {
  const double texel = options_.texel;
  const int cols = static_cast<int>(std::ceil((options_.east_max - options_.east_min) / texel));
  const int rows = static_cast<int>(std::ceil((options_.north_max - options_.north_min) / texel));
  cv::RNG rng(options_.seed * 31u + 5u);
  // Farmland covers a wide area: its noise is computed where it is needed, not held in
  // rasters of the orthophoto's size.
  const bool hashed = farmland_ != nullptr;
  cv::Mat cover, mid, fine, grain;
  if (!hashed) {
    cover = noiseLayer(rng, cols, rows, 40.0 / texel);
    mid = noiseLayer(rng, cols, rows, 4.0 / texel);
    fine = noiseLayer(rng, cols, rows, 0.9 / texel);
    grain = noiseLayer(rng, cols, rows, 0.3 / texel);
  }
  std::vector<cv::Vec3d> roof_colours;
  for (size_t i = 0; i < buildings_.size(); ++i) {
    const cv::Vec3d palette[] = {{60, 75, 170}, {150, 150, 145}, {95, 85, 85}, {70, 120, 150}};
    roof_colours.push_back(palette[rng.uniform(0, 4)]);
  }
  const cv::Vec3d sun = cv::normalize(cv::Vec3d(0.35, 0.45, 0.82));
  orthophoto_.create(rows, cols, CV_8UC3);
  cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) {
    for (int r = range.start; r < range.end; ++r) {
      cv::Vec3b* out = orthophoto_.ptr<cv::Vec3b>(r);
      const double n = options_.north_max - (r + 0.5) * texel;
      for (int c = 0; c < cols; ++c) {
        const double e = options_.east_min + (c + 0.5) * texel;
        const float mid_v =
            hashed ? float(hashNoise(e / 4.0, n / 4.0, options_.seed + 11u)) : mid.at<float>(r, c);
        const float fine_v =
            hashed ? float(hashNoise(e / 0.9, n / 0.9, options_.seed + 12u)) : fine.at<float>(r, c);
        const float grain_v = hashed ? float(hashNoise(e / 0.3, n / 0.3, options_.seed + 13u))
                                     : grain.at<float>(r, c);
        const double detail = 0.62 + 0.22 * mid_v + 0.28 * fine_v + 0.22 * grain_v;
        const Building* b = buildingAt(e, n);
        if (b) {
          const double edge = std::min({e - b->east0, b->east1 - e, n - b->north0, b->north1 - n});
          const double rim = edge < 0.5 ? 0.7 : 1.0;
          out[c] = scaled(roof_colours[b - buildings_.data()],
                          rim * (0.75 + 0.25 * fine_v + 0.2 * grain_v));
          continue;
        }
        const double road = std::abs(e - kRoadEast);
        if (road < kRoadHalfWidth) {
          const bool dash = road < 0.12 && std::fmod(n + 1000.0, 6.0) < 3.0;
          const bool edge_line = std::abs(road - (kRoadHalfWidth - 0.3)) < 0.1;
          out[c] = dash || edge_line ? scaled({225, 228, 230}, 0.9 + 0.1 * grain_v)
                                     : scaled({95, 96, 102}, 0.75 + 0.3 * fine_v + 0.2 * grain_v);
          continue;
        }
        const double gx = (groundHeight(e + 0.5, n) - groundHeight(e - 0.5, n));
        const double gy = (groundHeight(e, n + 0.5) - groundHeight(e, n - 0.5));
        const cv::Vec3d normal = cv::normalize(cv::Vec3d(-gx, -gy, 1.0));
        const double shade = 0.55 + 0.55 * std::max(0.0, normal.dot(sun));
        if (farmland_) {
          const double x = (e - options_.east_min) / options_.terrain_cell + 2.0;
          const double y = (options_.north_max - n) / options_.terrain_cell + 2.0;
          // Leaves: a strong near-infrared red with a coarse grain of lit and shaded leaves.
          const cv::Vec3d colour =
              bilinear(canopy_, x, y) > 0.05
                  ? cv::Vec3d(70, 62, 168) * (0.6 + 0.45 * fine_v + 0.35 * grain_v)
                  : farmland_->colourAt(e, n, grain_v, mid_v,
                                        hashNoise(e / 25.0, n / 25.0, options_.seed + 14u));
          // The sun's shading is softer on the flat fields than on the town's hills.
          out[c] = scaled(colour, 0.8 * shade + 0.2);
          continue;
        }
        const double soil = smoothstep((cover.at<float>(r, c) - 0.45) / 0.15);
        const cv::Vec3d colour =
            cv::Vec3d(55, 135, 75) * (1.0 - soil) + cv::Vec3d(70, 110, 150) * soil;
        out[c] = scaled(colour, shade * detail);
      }
    }
  });
  // Survey markers: a white disc fading smoothly to its rim on a dark square, so that the
  // centre of brightness of the drawn marker is the projection of its centre.
  const double radius = options_.marker_radius;
  for (const cv::Vec3d& m : markers_) {
    const double half = radius + 0.5;
    const int c0 = std::max(0, static_cast<int>((m[0] - half - options_.east_min) / texel));
    const int c1 = std::min(cols - 1, static_cast<int>((m[0] + half - options_.east_min) / texel));
    const int r0 = std::max(0, static_cast<int>((options_.north_max - m[1] - half) / texel));
    const int r1 = std::min(rows - 1, static_cast<int>((options_.north_max - m[1] + half) / texel));
    for (int r = r0; r <= r1; ++r) {
      for (int c = c0; c <= c1; ++c) {
        const double de = options_.east_min + (c + 0.5) * texel - m[0];
        const double dn = options_.north_max - (r + 0.5) * texel - m[1];
        const double d = std::hypot(de, dn);
        const double v =
            d < radius ? 18.0 + 222.0 * 0.5 * (1.0 + std::cos(M_PI * d / radius)) : 18.0;
        orthophoto_.at<cv::Vec3b>(r, c) = cv::Vec3b::all(cv::saturate_cast<uchar>(v));
      }
    }
  }
}

cv::Vec3b SyntheticScene::textureAt(double east, double north) const {
  const double x = (east - options_.east_min) / options_.texel - 0.5;
  const double y = (options_.north_max - north) / options_.texel - 0.5;
  const int cols = orthophoto_.cols, rows = orthophoto_.rows;
  const double xc = std::clamp(x, 0.0, cols - 1.000001), yc = std::clamp(y, 0.0, rows - 1.000001);
  const int x0 = static_cast<int>(xc), y0 = static_cast<int>(yc);
  const double fx = xc - x0, fy = yc - y0;
  const cv::Vec3b* r0 = orthophoto_.ptr<cv::Vec3b>(y0);
  const cv::Vec3b* r1 = orthophoto_.ptr<cv::Vec3b>(y0 + 1);
  cv::Vec3b out;
  for (int k = 0; k < 3; ++k) {
    const double v = (r0[x0][k] * (1 - fx) + r0[x0 + 1][k] * fx) * (1 - fy) +
                     (r1[x0][k] * (1 - fx) + r1[x0 + 1][k] * fx) * fy;
    out[k] = cv::saturate_cast<uchar>(v);
  }
  return out;
}

cv::Vec3b SyntheticScene::wallColour(const Building& b, const cv::Vec3d& p, int face) const {
  // Faces: 1 west, 2 east, 3 south, 4 north; each lit differently by the sun.
  const double along = face <= 2 ? p[1] : p[0];
  const double shade[] = {1.0, 0.62, 0.92, 1.0, 0.7};
  const double storey = std::fmod(p[2] + 100.0, 3.0), bay = std::fmod(along + 1000.0, 2.5);
  const bool window = storey > 1.0 && storey < 2.2 && bay > 0.6 && bay < 1.9 && p[2] < b.roof - 0.8;
  const double noise = 0.8 + 0.25 * hashNoise(along / 0.3, p[2] / 0.3, options_.seed + face);
  const cv::Vec3d base = window ? cv::Vec3d(95, 70, 55) : cv::Vec3d(b.wall_colour);
  return scaled(base, shade[face] * noise);
}

bool SyntheticScene::marchGround(const cv::Vec3d& o, const cv::Vec3d& d, double t0, double t1,
                                 double* t) const {
  const double horizontal = std::hypot(d[0], d[1]);
  const double length = cv::norm(d);
  // Steps short enough that a smooth hill cannot be stepped over.
  double dt = 0.8 / length;
  if (horizontal > 1e-12) dt = std::min(dt, 0.5 * options_.terrain_cell / horizontal);
  auto above = [&](double s) {
    return o[2] + s * d[2] - groundHeight(o[0] + s * d[0], o[1] + s * d[1]);
  };
  double prev_t = t0, prev = above(t0);
  if (prev <= 0.0) {
    *t = t0;
    return true;
  }
  for (double s = t0 + dt;; s += dt) {
    const double cur_t = std::min(s, t1);
    const double cur = above(cur_t);
    if (cur <= 0.0) {
      double lo = prev_t, hi = cur_t;
      for (int i = 0; i < 40; ++i) {
        const double mid = 0.5 * (lo + hi);
        (above(mid) > 0.0 ? lo : hi) = mid;
      }
      *t = 0.5 * (lo + hi);
      return true;
    }
    if (cur_t >= t1) return false;
    prev_t = cur_t;
    prev = cur;
  }
}

bool SyntheticScene::intersect(const cv::Vec3d& o, const cv::Vec3d& d, SurfaceHit* hit) const {
  if (d[2] >= 0.0 && o[2] > max_height_) return false;
  if (d[2] >= 0.0) return false;  // the scene is seen from above
  const double t_top = o[2] > max_height_ ? (max_height_ - o[2]) / d[2] : 0.0;
  const double t_bottom = (min_height_ - 0.01 - o[2]) / d[2];
  // Nearest building entry: slab test against each box standing on the lowest ground.
  double t_building = std::numeric_limits<double>::infinity();
  const Building* building = nullptr;
  int face = 0;
  for (const Building& b : buildings_) {
    const double lo[3] = {b.east0, b.north0, min_height_ - 1.0},
                 hi[3] = {b.east1, b.north1, b.roof};
    double t_in = 0.0, t_out = std::numeric_limits<double>::infinity();
    int in_face = -1;
    for (int k = 0; k < 3; ++k) {
      if (std::abs(d[k]) < 1e-15) {
        if (o[k] < lo[k] || o[k] > hi[k]) t_in = std::numeric_limits<double>::infinity();
        continue;
      }
      double a = (lo[k] - o[k]) / d[k], b2 = (hi[k] - o[k]) / d[k];
      int fa = k == 0 ? 1 : k == 1 ? 3 : 5, fb = k == 0 ? 2 : k == 1 ? 4 : 0;
      if (a > b2) {
        std::swap(a, b2);
        std::swap(fa, fb);
      }
      if (a > t_in) {
        t_in = a;
        in_face = fa;
      }
      t_out = std::min(t_out, b2);
    }
    if (in_face >= 0 && t_in <= t_out && t_in > 0.0 && t_in < t_building) {
      t_building = t_in;
      building = &b;
      face = in_face;
    }
  }
  double t = 0.0;
  const bool ground = marchGround(o, d, t_top, std::min(t_bottom, t_building), &t);
  if (!ground && !building) return false;
  if (!ground) t = t_building;
  const cv::Vec3d p = o + t * d;
  if (p[0] < options_.east_min || p[0] > options_.east_max || p[1] < options_.north_min ||
      p[1] > options_.north_max) {
    return false;
  }
  hit->t = t;
  hit->point = p;
  if (ground || face == 0) {
    hit->colour = textureAt(p[0], p[1]);
  } else {
    hit->colour = wallColour(*building, p, face);
  }
  return true;
}

cv::Mat SyntheticScene::heightMap() const {
  const double texel = options_.texel;
  cv::Mat out(orthophoto_.size(), CV_32FC1);
  cv::parallel_for_(cv::Range(0, out.rows), [&](const cv::Range& range) {
    for (int r = range.start; r < range.end; ++r) {
      float* row = out.ptr<float>(r);
      for (int c = 0; c < out.cols; ++c) {
        row[c] = static_cast<float>(surfaceHeight(options_.east_min + (c + 0.5) * texel,
                                                  options_.north_max - (r + 0.5) * texel));
      }
    }
  });
  return out;
}

}  // namespace flight
