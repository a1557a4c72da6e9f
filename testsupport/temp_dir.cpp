#include "temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <system_error>

namespace vmtest {

namespace {
std::string testName() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (!info) return "notest";
  std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  for (char& c : name)
    if (c == '/') c = '_';
  return name;
}
}  // namespace

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  path_ = std::filesystem::temp_directory_path() /
          ("vm_" + testName() + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace vmtest
