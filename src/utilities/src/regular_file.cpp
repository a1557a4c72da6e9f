#include "regular_file.h"

#include "framework/printable_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Closes the descriptor when the read ends, whichever way.
struct FileDescriptor {
  int fd;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

bool readRegularFile(const std::string& path, std::vector<unsigned char>& bytes,
                     std::string& reason) {
  bytes.clear();
  if (fw::hasNulByte(path)) {
    reason = "the path holds a NUL byte";
    return false;
  }
  // Non-blocking, so that opening a FIFO without a writer returns at once.
  FileDescriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (file.fd < 0) {
    reason = std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(file.fd, &info) != 0) {
    reason = std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    reason = "not a regular file";
    return false;
  }
  bytes.reserve(static_cast<size_t>(info.st_size));
  unsigned char buffer[1 << 16];
  for (;;) {
    const ssize_t count = ::read(file.fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      reason = std::strerror(errno);
      return false;
    }
    if (count == 0) return true;
    bytes.insert(bytes.end(), buffer, buffer + count);
  }
}
