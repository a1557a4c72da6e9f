#include "line_queue.h"

#include "framework/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

void LineQueue::push(std::string line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(line));
  }
  lineQueued_.notify_all();
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

bool LineQueue::waitForLine(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return lineQueued_.wait_until(lock, deadline, [this] { return !lines_.empty(); });
}

namespace {

void queueLine(LineQueue& queue, std::string line) {
  try {
    queue.push(std::move(line));
  } catch (const std::exception&) {
    // A line that cannot be queued is lost; the following ones still arrive.
  }
}

}  // namespace

void readInputLines(int fd, LineQueue& queue, std::size_t maxLineBytes) {
  std::string pending;    // the start of a line whose line feed has not come yet
  bool dropping = false;  // the rest of an overlong line is skipped up to its line feed
  std::vector<char> buffer(std::size_t{1} << 16);
  for (;;) {
    const ssize_t count = ::read(fd, buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    const char* begin = buffer.data();
    const char* const end = begin + count;
    while (begin < end) {
      const char* feed = static_cast<const char*>(std::memchr(begin, '\n', end - begin));
      const char* stop = feed ? feed : end;
      if (!dropping) pending.append(begin, stop);
      if (!dropping && pending.size() > maxLineBytes) {
        FW_LOG(fw::kLogWarning) << "Dropped a standard-input line longer than " << maxLineBytes
                                << " bytes";
        dropping = true;
        pending = std::string();
      }
      if (!feed) break;
      if (!dropping) queueLine(queue, std::move(pending));
      pending.clear();
      dropping = false;
      begin = feed + 1;
    }
  }
  // Like a stream read, the text after the last line feed is a line of its own.
  if (!pending.empty() && !dropping) queueLine(queue, std::move(pending));
  queue.close();
}
