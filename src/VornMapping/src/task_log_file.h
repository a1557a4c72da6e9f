#pragma once

#include <memory>
#include <ostream>
#include <string>

// The task log file <home>/log.txt, which also marks the home folder as taken: the file is
// opened without following a symbolic link at its own name or on the way to it, must be a regular
// file with no other name (a hard link would make the log overwrite another file), and is locked
// (an advisory lock held until this object goes). It is never truncated: an earlier run's log stays
// whole, and the new run's lines follow a separator line, so a second run on the same home
// neither destroys nor interleaves the first run's log.
class TaskLogFile {
 public:
  enum class Opened { kYes, kInUse, kFailed };

  TaskLogFile() = default;
  ~TaskLogFile();
  TaskLogFile(const TaskLogFile&) = delete;
  TaskLogFile& operator=(const TaskLogFile&) = delete;

  // kInUse when another run holds the lock; kFailed with the reason otherwise.
  // Nothing is written to the file unless the result is kYes.
  Opened open(const std::string& path, std::string& reason);
  // A stream that appends to the opened file; it keeps the file open while it lives.
  std::shared_ptr<std::ostream> stream() const;

 private:
  int fd_ = -1;
};
