#include "rendered_view_cache.h"

#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <system_error>

namespace flight {
namespace fs = std::filesystem;

namespace {

constexpr char kMagic[8] = {'V', 'M', 'V', 'I', 'E', 'W', 'S', '1'};

struct Fnv1a {
  uint64_t value = 1469598103934665603ull;
  void add(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) value = (value ^ bytes[i]) * 1099511628211ull;
  }
  template <typename T>
  void add(const T& v) {
    add(&v, sizeof v);
  }
};

uint64_t flightKey(const ExampleFlight& flight) {
  Fnv1a h;
  const PinholeCamera& c = flight.plan.options.camera;
  for (double v : {double(c.width), double(c.height), c.fx, c.fy, c.cx, c.cy}) h.add(v);
  for (const PlannedFrame& f : flight.plan.frames) {
    h.add(f.placement.enu_from_camera.val, sizeof f.placement.enu_from_camera.val);
    h.add(f.placement.position.val, sizeof f.placement.position.val);
  }
  const SceneOptions& s = flight.scene->options();
  for (double v : {s.east_min, s.east_max, s.north_min, s.north_max, s.texel, s.terrain_cell,
                   s.marker_radius, s.marker_spacing}) {
    h.add(v);
  }
  h.add(s.seed);
  if (s.furrowed_fields) h.add(s.furrowed_fields);
  if (s.field_texture != 1.0) h.add(s.field_texture);
  // The lens's distortion shows in the probe below; the light does not.
  const FlightOptions& o = flight.plan.options;
  if (o.vignetting != 0.0) h.add(o.vignetting);
  for (const PlannedFrame& f : flight.plan.frames)
    if (f.exposure != 1.0) h.add(f.exposure);
  // A coarse render of the first frame stands for the renderer and the scene's code.
  if (!flight.plan.frames.empty()) {
    PinholeCamera probe = c;
    const double scale = 16.0 / c.width;
    probe.width = 16;
    probe.height = std::max(1, int(c.height * scale));
    probe.fx *= scale;
    probe.fy *= scale;
    probe.cx = (c.cx + 0.5) * scale - 0.5;
    probe.cy = (c.cy + 0.5) * scale - 0.5;
    const RenderedView view = renderView(*flight.scene, probe, flight.plan.frames[0].placement);
    h.add(view.image.data, view.image.total() * view.image.elemSize());
    h.add(view.depth.data, view.depth.total() * view.depth.elemSize());
  }
  return h.value;
}

bool readViews(const fs::path& file, const ExampleFlight& flight,
               std::vector<RenderedView>* views) {
  std::ifstream in(file, std::ios::binary);
  char magic[sizeof kMagic];
  uint64_t count = 0;
  if (!in.read(magic, sizeof magic) ||
      std::string(magic, sizeof magic) != std::string(kMagic, sizeof kMagic) ||
      !in.read(reinterpret_cast<char*>(&count), sizeof count) ||
      count != flight.plan.frames.size()) {
    return false;
  }
  const PinholeCamera& c = flight.plan.options.camera;
  for (uint64_t i = 0; i < count; ++i) {
    RenderedView v;
    v.image.create(c.height, c.width, CV_8UC3);
    v.depth.create(c.height, c.width, CV_32FC1);
    if (!in.read(reinterpret_cast<char*>(v.image.data),
                 std::streamsize(v.image.total() * v.image.elemSize())) ||
        !in.read(reinterpret_cast<char*>(v.depth.data),
                 std::streamsize(v.depth.total() * v.depth.elemSize()))) {
      return false;
    }
    views->push_back(std::move(v));
  }
  return true;
}

void writeViews(const fs::path& file, const std::vector<RenderedView>& views) {
  const fs::path partial = file.string() + "." + std::to_string(::getpid()) + ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    const uint64_t count = views.size();
    out.write(kMagic, sizeof kMagic);
    out.write(reinterpret_cast<const char*>(&count), sizeof count);
    for (const RenderedView& v : views) {
      out.write(reinterpret_cast<const char*>(v.image.data),
                std::streamsize(v.image.total() * v.image.elemSize()));
      out.write(reinterpret_cast<const char*>(v.depth.data),
                std::streamsize(v.depth.total() * v.depth.elemSize()));
    }
    if (!out) {
      std::error_code ignored;
      fs::remove(partial, ignored);
      return;
    }
  }
  std::error_code error;
  fs::rename(partial, file, error);
  if (error) fs::remove(partial, error);
}

}  // namespace

std::vector<RenderedView> renderAllFrames(const ExampleFlight& flight,
                                          const fs::path& cache_folder) {
  std::vector<RenderedView> views;
  fs::path file;
  if (!cache_folder.empty()) {
    char name[40];
    std::snprintf(name, sizeof name, "views_%016llx.bin",
                  static_cast<unsigned long long>(flightKey(flight)));
    file = cache_folder / name;
    if (readViews(file, flight, &views)) return views;
    views.clear();
  }
  for (size_t i = 0; i < flight.plan.frames.size(); ++i) views.push_back(renderFrame(flight, i));
  if (!file.empty()) {
    std::error_code error;
    fs::create_directories(cache_folder, error);
    if (!error) writeViews(file, views);
  }
  return views;
}

}  // namespace flight
