#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vmtest {

// The whole text of a file, empty when it cannot be read (a missing log reads as no lines).
inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace vmtest
