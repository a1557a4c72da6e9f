#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace fw {

// Severities of a log statement; sinks receive them unchanged.
constexpr int kLogInfo = 0;
constexpr int kLogWarning = -1;
constexpr int kLogError = -2;
constexpr int kLogFatal = -3;  // ends the process once every sink has the message

// Receiver of every log statement of the process (for example the task log file).
// Calls may overlap from several threads; a sink that needs ordering serialises itself.
// A sink must not throw and must not change the sink set from inside its operations.
class LogSink {
 public:
  virtual ~LogSink() = default;
  // `text` ends with the line feed of the message; it is zero-terminated, but `length` counts.
  virtual void write(int severity, const char* path, const char* base_name, int line,
                     const struct tm* time, const char* text, uint64_t length) = 0;
  virtual void flush() = 0;
};

using LogSinkSet = std::set<LogSink*>;

// The process-wide set of registered sinks (non-owning). Change it only while no other
// thread logs. It stays usable during static destruction, so late log lines are safe.
std::shared_ptr<LogSinkSet>& logSinks();

// One log statement: stream the text in; the destructor writes it to standard error and
// hands it to every sink.
class LogMessage {
 public:
  LogMessage(const char* path, int line, const char* module, int severity);
  ~LogMessage();
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;

  std::ostream& stream() { return text_; }

  // The text after the last forward slash of `path` (backslashes are ordinary characters).
  static void fileBaseName(const std::string& path, std::string& base_name);
  // Writes the text as it stands to standard error and to every sink, then flushes the sinks.
  void flush(int severity);
  static void flushSinks();

 private:
  std::string path_;
  std::string base_name_;
  int32_t line_;
  std::string module_;
  std::stringstream text_;
  int32_t severity_;
};

}  // namespace fw

// A log statement of the system: FW_LOG(fw::kLogError) << "Failed to create dataset.";
#define FW_LOG(severity) ::fw::LogMessage(__FILE__, __LINE__, "native", (severity)).stream()
