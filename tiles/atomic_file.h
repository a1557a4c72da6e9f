#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tile_files {

// Writes the bytes to a temporary file beside `path` and renames it over `path`, so that
// readers and a killed process see either the old file or the whole new one. False with
// the system's reason when any step fails; the temporary file is removed then.
bool writeFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string& error);

// The whole file; false when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

}  // namespace tile_files
