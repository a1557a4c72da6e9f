#pragma once

#include <cstdlib>
#include <string>

namespace vmtest {

// Sets an environment variable for the length of one test (children spawned meanwhile inherit
// it) and removes it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  ~ScopedEnv() { ::unsetenv(name_.c_str()); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
};

}  // namespace vmtest
