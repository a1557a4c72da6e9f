#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

// Synthetic pixel content for the codec's tests and benchmarks (seeded, repeatable).
namespace test_images {

enum class Content { Noise, Flat, Gradient };

inline std::vector<uint8_t> make(Content content, uint32_t width, uint32_t height, int channels,
                                 unsigned seed) {
  std::vector<uint8_t> px(size_t{width} * height * channels);
  std::mt19937 rng(seed);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t* p = &px[(size_t{y} * width + x) * channels];
      for (int c = 0; c < channels; ++c) {
        switch (content) {
          case Content::Noise:
            p[c] = static_cast<uint8_t>(rng());
            break;
          case Content::Flat:
            p[c] = static_cast<uint8_t>(40 + 60 * c);
            break;
          case Content::Gradient:
            p[c] = static_cast<uint8_t>(x * (c + 1) + y * (3 - c));
            break;
        }
      }
    }
  }
  return px;
}

// A 4-channel tile that looks like an aerial orthophoto: smooth terrain colours with fine
// texture and sensor noise, a few straight roads of nearly flat colour, and a transparent
// corner outside the surveyed area.
inline std::vector<uint8_t> orthophotoTile(uint32_t size, unsigned seed) {
  std::vector<uint8_t> px(size_t{size} * size * 4);
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 3.0);
  for (uint32_t y = 0; y < size; ++y) {
    for (uint32_t x = 0; x < size; ++x) {
      uint8_t* p = &px[(size_t{y} * size + x) * 4];
      if (x + y < size / 4) {
        p[0] = p[1] = p[2] = p[3] = 0;
        continue;
      }
      const bool road = (x + 2 * y) % 97 < 6 || (3 * x + size - y) % 151 < 5;
      const double field =
          20.0 * std::sin(x * 0.05) * std::cos(y * 0.07) + 12.0 * std::sin((x + y) * 0.21);
      const double base[3] = {road ? 150.0 : 70.0 + field, road ? 150.0 : 95.0 + 0.8 * field,
                              road ? 145.0 : 60.0};
      for (int c = 0; c < 3; ++c) {
        const double v = base[c] + (road ? noise(rng) * 0.3
                                         : noise(rng) + 6.0 * std::sin(x * 1.3 + y * 0.7 + c));
        p[c] = static_cast<uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v))));
      }
      p[3] = 255;
    }
  }
  return px;
}

}  // namespace test_images
