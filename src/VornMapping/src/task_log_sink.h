#pragma once

#include "framework/log.h"

#include <memory>
#include <mutex>
#include <ostream>
#include <string>

// Writes every log statement of the process to the task's log file while the task runs:
// "E1206 21:07:40 12345] message". Lines of different threads never interleave.
class LogSink : public fw::LogSink {
 public:
  ~LogSink() override = default;
  void write(int severity, const char* path, const char* base_name, int line, const struct tm* time,
             const char* text, uint64_t length) override;
  void flush() override {}

  // Gives the sink its file (or takes it away with an empty pointer, closing it once the
  // last line in progress is written).
  void setStream(std::shared_ptr<std::ostream> stream);

 private:
  std::mutex mutex_;
  std::shared_ptr<std::ostream> stream_;
};

// One line of the task log, as the sink writes it.
std::string formatTaskLogLine(int severity, const struct tm& time, long threadId, const char* text,
                              uint64_t length);
