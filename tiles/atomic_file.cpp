#include "tiles/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tile_files {
namespace {

std::string systemError(const char* step) {
  return std::string(step) + ": " + std::strerror(errno);
}

bool writeAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool writeFileAtomically(const std::string& path, const void* data, size_t size, std::string& error,
                         fw::LinkFreeFolder::Missing missing) {
  std::string folderPath, name;
  fw::splitFilePath(path, folderPath, name);
  const fw::LinkFreeFolder folder = fw::LinkFreeFolder::open(folderPath, missing, error);
  return folder.isOpen() && writeFileAtomically(folder, name, data, size, error);
}

bool writeFileAtomically(const fw::LinkFreeFolder& folder, const std::string& name,
                         const void* data, size_t size, std::string& error) {
  const std::string temporary = fw::temporaryNameOf(name);
  // Whatever stands at the temporary name (a link planted there, a file with a second name)
  // is removed, not written through: the new file is always our own.
  folder.remove(temporary);
  const int fd = folder.createFile(temporary, error);
  if (fd < 0) return false;
  bool ok = writeAll(fd, static_cast<const uint8_t*>(data), size);
  if (!ok) error = systemError(("write " + folder.pathOf(temporary)).c_str());
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = systemError(("close " + folder.pathOf(temporary)).c_str());
  }
  ok = ok && folder.rename(temporary, name, /*replace=*/true, error);
  if (!ok) folder.remove(temporary);
  return ok;
}

bool readWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
  bytes.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (ok) {
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (ok && done < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0)
        ok = false;
      else
        done += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  if (!ok) bytes.clear();
  return ok;
}

}  // namespace tile_files
