#include "framework/file_resource.h"

#include "framework/var_with_type.h"

#include <mutex>

namespace fw {

namespace {
// Registration writes through the entry pointer, so it and lookups share one more lock.
std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}
}  // namespace

FileResource::FileBuffer FileResource::lookup(const std::string& name) {
  std::lock_guard<std::mutex> lock(registryMutex());
  return *VarWithType<FileBuffer>::instance().get(name);
}

void FileResource::registerBuffer(const std::string& name, const FileBuffer& buffer) {
  std::lock_guard<std::mutex> lock(registryMutex());
  *VarWithType<FileBuffer>::instance().get(name) = buffer;
}

}  // namespace fw
