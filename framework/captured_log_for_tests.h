#pragma once

// A log sink for tests: keeps every line logged while it is registered.

#include "framework/log.h"

#include <initializer_list>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace fwtest {

class CapturedLog : public fw::LogSink {
 public:
  CapturedLog() { fw::logSinks()->insert(this); }
  ~CapturedLog() override { fw::logSinks()->erase(this); }

  void write(int severity, const char*, const char*, int, const struct tm*, const char* text,
             uint64_t length) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(severity, std::string(text, length));
  }
  void flush() override {}

  // Lines of the severity that contain every one of the texts.
  int count(int severity, std::initializer_list<std::string> texts) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& line : lines_) {
      bool all = line.first == severity;
      for (const std::string& t : texts) all = all && line.second.find(t) != std::string::npos;
      n += all;
    }
    return n;
  }
  int count(int severity, const std::string& text) const { return count(severity, {text}); }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace fwtest
