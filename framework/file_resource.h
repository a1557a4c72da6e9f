#pragma once

// The process-wide registry of named in-memory file buffers, consulted before the file
// system (for example for the vocabulary).

#include <cstdint>
#include <string>

namespace fw {

class FileResource {
 public:
  struct FileBuffer {
    const unsigned char* data = nullptr;
    uint64_t size = 0;
  };

  // The buffer registered under `name`; a name not yet registered is entered with an empty
  // buffer, which is returned.
  static FileBuffer lookup(const std::string& name);
  // Registers (or replaces) the buffer of `name`; the caller keeps the bytes alive.
  static void registerBuffer(const std::string& name, const FileBuffer& buffer);
};

}  // namespace fw
