#include "task_log_file.h"

#include "framework/link_free_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <streambuf>
#include <string>

namespace {

// Unbuffered output to a descriptor of its own: each write reaches the file at once.
class DescriptorBuffer : public std::streambuf {
 public:
  explicit DescriptorBuffer(int fd) : fd_(fd) {}
  ~DescriptorBuffer() override {
    if (fd_ >= 0) ::close(fd_);
  }

 protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    std::streamsize written = 0;
    while (written < count) {
      const ssize_t n = ::write(fd_, data + written, static_cast<size_t>(count - written));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      written += n;
    }
    return written;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }

 private:
  int fd_;
};

class DescriptorStream : public std::ostream {
 public:
  explicit DescriptorStream(int fd) : std::ostream(nullptr), buffer_(fd) { rdbuf(&buffer_); }

 private:
  DescriptorBuffer buffer_;
};

}  // namespace

TaskLogFile::~TaskLogFile() {
  if (fd_ >= 0) ::close(fd_);  // releases the lock
}

TaskLogFile::Opened TaskLogFile::open(const std::string& path, std::string& reason) {
  std::string folderPath, name;
  fw::splitFilePath(path, folderPath, name);
  // The home folder is reached without following a link on the way.
  const fw::LinkFreeFolder folder =
      fw::LinkFreeFolder::open(folderPath, fw::LinkFreeFolder::Missing::kFail, reason);
  if (!folder.isOpen()) return Opened::kFailed;
  // Never truncated: the file may be another run's log. Non-blocking, so that a FIFO put
  // at the name cannot hold the open.
  const int fd =
      ::openat(folder.descriptor(), name.c_str(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    reason = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
    return Opened::kFailed;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    reason = "not a regular file";
    ::close(fd);
    return Opened::kFailed;
  }
  if (info.st_nlink > 1) {
    reason = "it has " + std::to_string(info.st_nlink) +
             " names (hard links); the log is never written through another file's name";
    ::close(fd);
    return Opened::kFailed;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const bool inUse = errno == EWOULDBLOCK;
    reason = inUse ? "home is in use by another task" : std::strerror(errno);
    ::close(fd);
    return inUse ? Opened::kInUse : Opened::kFailed;
  }
  // Checked again under the lock: the file may have grown since the first look.
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    static const char kSeparator[] =
        "\n==== A new run starts here; the lines above are an earlier run's ====\n";
    if (::write(fd, kSeparator, sizeof kSeparator - 1) < 0) {
      reason = std::strerror(errno);
      ::close(fd);
      return Opened::kFailed;
    }
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  fd_ = fd;
  return Opened::kYes;
}

std::shared_ptr<std::ostream> TaskLogFile::stream() const {
  // A duplicate shares the file position and the lock; the stream closes only its own.
  const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return nullptr;
  return std::make_shared<DescriptorStream>(fd);
}
