#include "line_queue.h"

#include <unistd.h>
#include <cerrno>

void LineQueue::push(std::string line) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(std::move(line));
}

void LineQueue::close() {
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
}

LineQueue::Take LineQueue::take(std::string& line) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (lines_.empty()) return closed_ ? Take::kEnded : Take::kEmpty;
  line = std::move(lines_.front());
  lines_.pop_front();
  return Take::kLine;
}

void readInputLines(int fd, LineQueue& queue) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(count));
    std::size_t begin = 0;
    for (std::size_t end; (end = pending.find('\n', begin)) != std::string::npos; begin = end + 1) {
      try {
        queue.push(pending.substr(begin, end - begin));
      } catch (const std::exception&) {
        // A line that cannot be queued is lost; the following ones still arrive.
      }
    }
    pending.erase(0, begin);
  }
  // Like a stream read, the text after the last line feed is a line of its own.
  if (!pending.empty()) {
    try {
      queue.push(std::move(pending));
    } catch (const std::exception&) {
    }
  }
  queue.close();
}
