#pragma once

#include "framework/link_free_folder.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tile_files {

// Writes the bytes to a temporary file beside `path` and renames it over `path`, so that
// readers and a killed process see either the old file or the whole new one. The folders on
// the way are opened without following links (fw::LinkFreeFolder), and made when missing with
// kCreate; the file is always new: a link or a second name at `path` is replaced, never
// written through. False with the reason when any step fails; the temporary file is removed
// then.
bool writeFileAtomically(const std::string& path, const void* data, size_t size, std::string& error,
                         fw::LinkFreeFolder::Missing missing = fw::LinkFreeFolder::Missing::kFail);
// The same, for the file `name` in a folder already opened.
bool writeFileAtomically(const fw::LinkFreeFolder& folder, const std::string& name,
                         const void* data, size_t size, std::string& error);

// The whole file; false when it cannot be opened or read.
bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

}  // namespace tile_files
