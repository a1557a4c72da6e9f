#pragma once

#include <filesystem>
#include <string>

namespace vmtest {

// A fresh folder under the system temporary folder, removed with everything in it
// when the object goes. Each test makes its own, so tests never share files.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Path of a file or folder inside the temporary folder.
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace vmtest
