#include "task_log_sink.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

char severityLetter(int severity) {
  switch (severity) {
    case fw::kLogInfo:
      return 'I';
    case fw::kLogWarning:
      return 'W';
    case fw::kLogError:
      return 'E';
    default:
      return 'F';
  }
}

}  // namespace

std::string formatTaskLogLine(int severity, const struct tm& time, long threadId, const char* text,
                              uint64_t length) {
  char prefix[96];
  std::snprintf(prefix, sizeof prefix, "%c%02d%02d %02d:%02d:%02d %5ld] ", severityLetter(severity),
                time.tm_mon + 1, time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec, threadId);
  std::string line(prefix);
  line.append(text, length);
  return line;
}

void LogSink::write(int severity, const char*, const char*, int, const struct tm* time,
                    const char* text, uint64_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!stream_ || !time || !text) return;
  // The operating system's thread id, as system tools show it.
  const long threadId = static_cast<long>(::syscall(SYS_gettid));
  const std::string line = formatTaskLogLine(severity, *time, threadId, text, length);
  stream_->write(line.data(), static_cast<std::streamsize>(line.size()));
  stream_->flush();
}

void LogSink::setStream(std::shared_ptr<std::ostream> stream) {
  std::shared_ptr<std::ostream> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previous.swap(stream_);
    stream_ = std::move(stream);
  }
  // The old file closes here, outside the lock, after any line being written has finished.
}
