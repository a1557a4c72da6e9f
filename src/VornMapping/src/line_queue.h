#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

// First-in, first-out queue of the standard input's lines, filled by the reader
// thread and emptied by the status loop. It also remembers that the input ended.
class LineQueue {
 public:
  enum class Take { kLine, kEmpty, kEnded };

  void push(std::string line);
  // No line follows any more (the input reached its end or failed).
  void close();
  // Removes the oldest line into `line`; kEnded only once every line was taken.
  Take take(std::string& line);
  // Blocks until a line is queued or `deadline` passes; true when a line waits. The end of
  // the input does not wake it: the caller learns of it from take() at its next turn.
  bool waitForLine(std::chrono::steady_clock::time_point deadline);

 private:
  std::mutex mutex_;
  std::condition_variable lineQueued_;
  std::deque<std::string> lines_;
  bool closed_ = false;
};

// Longest input line kept; a longer one is dropped with a warning.
constexpr std::size_t kMaxInputLineBytes = std::size_t{64} << 20;

// Reads the file descriptor line by line (lines end at a line feed) into the queue,
// an empty line too, and closes the queue when the input ends or fails. Reads the
// descriptor directly, so a blocked read holds no stream lock at process exit. Each byte is
// looked at once, however long the line; a line longer than `maxLineBytes` is dropped whole
// (with a warning) and reading goes on with the next one.
void readInputLines(int fd, LineQueue& queue, std::size_t maxLineBytes = kMaxInputLineBytes);
