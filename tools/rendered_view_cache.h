#pragma once

#include "example_flight.h"

#include <filesystem>
#include <vector>

namespace flight {

// The rendered views of every frame of a flight, kept in a file of `cache_folder` so that
// the many processes of one test binary run render a flight once: the first process
// renders and writes it (atomically, by renaming a finished file), the others read it.
// The file is named by the flight's cameras, placements and scene, and by a small probe
// render, so a changed renderer or scene does not read stale views. An empty folder, or a
// file that cannot be read or written, renders in place.
std::vector<RenderedView> renderAllFrames(const ExampleFlight& flight,
                                          const std::filesystem::path& cache_folder);

}  // namespace flight
