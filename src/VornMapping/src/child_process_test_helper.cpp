#include "child_process_test_helper.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vmtest {
namespace {

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() {
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
  }
  ~Pipe() {
    closeEnd(0);
    closeEnd(1);
  }
  void closeEnd(int end) {
    if (fds[end] >= 0) ::close(fds[end]);
    fds[end] = -1;
  }
};

}  // namespace

ChildResult runChild(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input, int timeout_seconds) {
  Pipe in, out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.fds[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out.fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err.fds[1], 2);
  for (Pipe* pipe : {&in, &out, &err}) {
    posix_spawn_file_actions_addclose(&actions, pipe->fds[0]);
    posix_spawn_file_actions_addclose(&actions, pipe->fds[1]);
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " + program);
  in.closeEnd(0);
  out.closeEnd(1);
  err.closeEnd(1);

  // The input is small enough for the pipe buffer; a child that never reads it
  // must not block the test.
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) {
    [[maybe_unused]] const ssize_t written = ::write(in.fds[1], input.data(), input.size());
  }
  in.closeEnd(1);

  ChildResult result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  bool killed = false;
  while (out.fds[0] >= 0 || err.fds[0] >= 0) {
    pollfd fds[2] = {{out.fds[0], POLLIN, 0}, {err.fds[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, 200);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
      if (count > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        (i == 0 ? out : err).closeEnd(0);
      }
    }
    if (!killed && std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string base64Encode(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  unsigned int accumulator = 0;
  int bits = 0;
  for (unsigned char c : bytes) {
    accumulator = (accumulator << 8) | c;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      text.push_back(kAlphabet[(accumulator >> bits) & 0x3f]);
    }
  }
  if (bits > 0) text.push_back(kAlphabet[(accumulator << (6 - bits)) & 0x3f]);
  while (text.size() % 4 != 0) text.push_back('=');
  return text;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

std::string lastLine(const std::string& text) {
  const std::vector<std::string> lines = splitLines(text);
  return lines.empty() ? std::string() : lines.back();
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace vmtest
