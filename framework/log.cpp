#include "framework/log.h"

#include <cstdlib>
#include <iostream>

namespace fw {

std::shared_ptr<LogSinkSet>& logSinks() {
  // Deliberately never destroyed: threads may still log while statics are torn down.
  static auto* sinks = new std::shared_ptr<LogSinkSet>(std::make_shared<LogSinkSet>());
  return *sinks;
}

LogMessage::LogMessage(const char* path, int line, const char* module, int severity)
    : path_(path ? path : ""), line_(line), module_(module ? module : ""), severity_(severity) {
  fileBaseName(path_, base_name_);
}

LogMessage::~LogMessage() {
  text_ << '\n';
  flush(severity_);
  if (severity_ == kLogFatal) std::abort();
}

void LogMessage::fileBaseName(const std::string& path, std::string& base_name) {
  const auto slash = path.rfind('/');
  base_name = slash == std::string::npos ? path : path.substr(slash + 1);
}

void LogMessage::flush(int severity) {
  const std::string text = text_.str();
  std::cerr << text;

  const std::time_t now = std::time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);

  const std::shared_ptr<LogSinkSet>& sinks = logSinks();
  if (!sinks) return;
  for (LogSink* sink : *sinks) {
    sink->write(severity, path_.c_str(), base_name_.c_str(), line_, &local, text.c_str(),
                text.size());
  }
  for (LogSink* sink : *sinks) sink->flush();
}

void LogMessage::flushSinks() {
  const std::shared_ptr<LogSinkSet>& sinks = logSinks();
  if (!sinks) return;
  for (LogSink* sink : *sinks) sink->flush();
}

}  // namespace fw
