#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace fw {

// Times named sections of code: count, shortest, mean, longest and total duration per name.
// Each thread has its own timer, which prints its "Timer report" to standard output when
// the thread ends.
class Timer {
 public:
  Timer();
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // The calling thread's timer, made on its first call.
  static Timer& instance();

  bool enabled() const { return enabled_; }
  void enter(const std::string& name);
  void leave(const std::string& name);
  std::string report();

  // `text` cut into pieces of `width` characters, the last padded with blanks, joined by
  // line ends; empty for an empty text.
  static std::string padText(const std::string& text, size_t width);
  // A duration in seconds as five columns and a unit letter, e.g. " 12.3m".
  static std::string formatDuration(double seconds);

 private:
  struct Record {
    uint64_t count = 0;  // entries of the section
    double min = 0;
    double max = 0;
    double total = 0;
    std::vector<double> pending;  // entry times not yet left, innermost last
    uint64_t completed = 0;       // entries left again; the first one sets min and max
  };

  double now() const;
  Record& record(const std::string& name);

  std::chrono::steady_clock::time_point start_;
  bool enabled_ = true;
  std::map<std::string, Record> records_;
  std::mutex mutex_;
};

}  // namespace fw
