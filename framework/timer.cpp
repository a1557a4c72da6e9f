#include "framework/timer.h"

#include <iomanip>
#include <iostream>
#include <sstream>

namespace fw {

Timer::Timer() : start_(std::chrono::steady_clock::now()) {}

Timer::~Timer() {
  if (!records_.empty() && enabled_) std::cout << std::endl << report() << std::endl;
}

Timer& Timer::instance() {
  thread_local Timer timer;
  return timer;
}

double Timer::now() const {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now() - start_);
  return static_cast<double>(ns.count()) / 1e9;
}

Timer::Record& Timer::record(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_[name];
}

void Timer::enter(const std::string& name) {
  if (!enabled_) return;
  Record& r = record(name);
  ++r.count;
  r.pending.push_back(now());
}

void Timer::leave(const std::string& name) {
  if (!enabled_) return;
  const double t = now();
  Record& r = record(name);
  if (r.pending.empty()) return;
  const double d = t - r.pending.back();
  r.pending.pop_back();
  r.total += d;
  if (r.completed++ == 0) {
    r.min = d;
    r.max = d;
  } else {
    if (d < r.min) r.min = d;
    if (d > r.max) r.max = d;
  }
}

std::string Timer::padText(const std::string& text, size_t width) {
  if (text.empty() || width == 0) return text;
  std::string out;
  for (size_t pos = 0; pos < text.size(); pos += width) {
    if (pos > 0) out += '\n';
    std::string piece = text.substr(pos, width);
    piece.resize(width, ' ');
    out += piece;
  }
  return out;
}

std::string Timer::formatDuration(double v) {
  struct Unit {
    double threshold;
    double scale;
    char letter;
  };
  static const Unit units[] = {{1e12, 1e-12, 'T'}, {1e9, 1e-9, 'G'}, {1e6, 1e-6, 'M'},
                               {1000, 0.001, 'K'}, {1, 1, ' '},      {0.001, 1000, 'm'},
                               {1e-6, 1e6, 'u'},   {1e-9, 1e9, 'n'}, {1e-12, 1e12, 'p'}};
  double scale = 0;
  char letter = 'p';
  for (const Unit& unit : units) {
    if (v >= unit.threshold) {
      scale = unit.scale;
      letter = unit.letter;
      break;
    }
  }
  std::ostringstream out;
  out << std::fixed << std::setprecision(1) << std::setw(5) << (scale == 0 ? 0.0 : v * scale)
      << letter;
  return out.str();
}

std::string Timer::report() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream out;
  out << std::string(36, '-') << "  Timer report " << std::string(36, '-') << '\n';
  out << "           FUNCTION                       #CALLS  MIN.T  MEAN.T  MAX.T  TOTAL \n";
  out << std::string(87, '-') << '\n';
  for (const auto& [name, r] : records_) {
    const double mean = r.count == 0 ? 0.0 : r.total / static_cast<double>(r.count);
    out << padText(name, 39) << ' ' << std::right << std::setw(6) << r.count << "  "
        << formatDuration(r.min) << "s " << formatDuration(mean) << "s " << formatDuration(r.max)
        << "s " << formatDuration(r.total) << "s\n";
  }
  out << std::string(33, '-') << " End of Timer report " << std::string(33, '-') << '\n';
  return out.str();
}

}  // namespace fw
