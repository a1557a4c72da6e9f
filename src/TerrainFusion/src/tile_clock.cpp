#include "src/TerrainFusion/src/tile_clock.h"

#include <chrono>

double tileClockSeconds() {
  using Seconds = std::chrono::duration<double>;
  return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
