#include "framework/link_free_folder.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace fw {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool isLink(int at, const std::string& name) {
  struct stat info {};
  return ::fstatat(at, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

std::string linkRefusal(const std::string& where) {
  return where + " is a symbolic link: files are never written through a link";
}

// Opens one step of the walk; makes it first when it is missing and `create` is set.
int openStep(int at, const std::string& name, bool create) {
  int fd = ::openat(at, name.c_str(), kFolderFlags);
  if (fd < 0 && errno == ENOENT && create) {
    // Another writer may make the same folder at the same moment: that is no failure.
    if (::mkdirat(at, name.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    fd = ::openat(at, name.c_str(), kFolderFlags);
  }
  return fd;
}

}  // namespace

LinkFreeFolder::~LinkFreeFolder() {
  if (fd_ >= 0) ::close(fd_);
}

LinkFreeFolder::LinkFreeFolder(LinkFreeFolder&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

LinkFreeFolder& LinkFreeFolder::operator=(LinkFreeFolder&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

LinkFreeFolder LinkFreeFolder::open(const std::string& path, Missing missing, std::string& reason) {
  if (path.empty() || path.find('\0') != std::string::npos) {
    reason = "not a folder path";
    return {};
  }
  const bool absolute = path[0] == '/';
  int fd = ::open(absolute ? "/" : ".", kFolderFlags);
  if (fd < 0) {
    reason = std::string(absolute ? "/" : ".") + ": " + std::strerror(errno);
    return {};
  }
  std::string walked = absolute ? "" : ".";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string step = path.substr(start, end - start);
    start = end + 1;
    if (step.empty() || step == ".") continue;
    walked += "/" + step;
    const int next = openStep(fd, step, missing == Missing::kCreate);
    if (next < 0) {
      const int code = errno;
      reason = isLink(fd, step) ? linkRefusal(walked) : walked + ": " + std::strerror(code);
      ::close(fd);
      return {};
    }
    ::close(fd);
    fd = next;
  }
  return LinkFreeFolder(fd, path);
}

std::string LinkFreeFolder::pathOf(const std::string& name) const { return path_ + "/" + name; }

int LinkFreeFolder::createFile(const std::string& name, std::string& reason) const {
  const int fd =
      ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int code = errno;
    reason =
        isLink(fd_, name) ? linkRefusal(pathOf(name)) : pathOf(name) + ": " + std::strerror(code);
  }
  return fd;
}

bool LinkFreeFolder::rename(const std::string& from, const std::string& to, bool replace,
                            std::string& reason) const {
  const int done = replace ? ::renameat(fd_, from.c_str(), fd_, to.c_str())
                           : ::renameat2(fd_, from.c_str(), fd_, to.c_str(), RENAME_NOREPLACE);
  if (done == 0) return true;
  reason = pathOf(to) + ": " + std::strerror(errno);
  return false;
}

void LinkFreeFolder::remove(const std::string& name) const { ::unlinkat(fd_, name.c_str(), 0); }

bool LinkFreeFolder::has(const std::string& name) const {
  struct stat info {};
  return ::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

std::string temporarySuffix() { return "." + std::to_string(::getpid()) + ".tmp"; }

std::string temporaryNameOf(const std::string& name) { return name + temporarySuffix(); }

void splitFilePath(const std::string& path, std::string& folder, std::string& name) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    folder = ".";
    name = path;
  } else {
    folder = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

}  // namespace fw
