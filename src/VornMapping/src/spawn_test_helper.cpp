#include "spawn_test_helper.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace vmtest {

ChildResult spawnChild(const std::string& program, const SpawnOptions& options) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  auto closes = [&](int fd) {
    return std::find(options.closedDescriptors.begin(), options.closedDescriptors.end(), fd) !=
           options.closedDescriptors.end();
  };
  const bool close0 = closes(0), close1 = closes(1), close2 = closes(2);

  // Blocked before the fork, so the child is born with it blocked.
  sigset_t blocked, previous;
  sigemptyset(&blocked);
  if (options.signalAtStart != 0) sigaddset(&blocked, options.signalAtStart);
  ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
  const pid_t pid = ::fork();
  if (pid > 0 && options.signalAtStart != 0) ::kill(pid, options.signalAtStart);
  if (pid != 0) ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    const int in = ::open(options.stdinPath.c_str(), O_RDONLY);
    if (in < 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (close0) ::close(0);
    if (close1) ::close(1);
    if (close2) ::close(2);
    if (options.stackLimitBytes > 0) {
      struct rlimit limit {};
      limit.rlim_cur = static_cast<rlim_t>(options.stackLimitBytes);
      limit.rlim_max = static_cast<rlim_t>(options.stackLimitBytes);
      ::setrlimit(RLIMIT_STACK, &limit);
    }
    if (options.fileSizeLimitBytes > 0) {
      struct rlimit limit {};
      limit.rlim_cur = static_cast<rlim_t>(options.fileSizeLimitBytes);
      limit.rlim_max = static_cast<rlim_t>(options.fileSizeLimitBytes);
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);

  ChildResult result;
  std::string pendingErr;
  int fds[2] = {out[0], err[0]};
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  bool killed = false;
  while (fds[0] >= 0 || fds[1] >= 0) {
    pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    if (::poll(polled, 2, 200) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || polled[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t count = ::read(fds[i], buffer, sizeof buffer);
      if (count <= 0) {
        ::close(fds[i]);
        fds[i] = -1;
        continue;
      }
      (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(count));
      if (i == 1 && options.onErrorLine) {
        pendingErr.append(buffer, static_cast<size_t>(count));
        for (size_t end; fds[1] >= 0 && (end = pendingErr.find('\n')) != std::string::npos;) {
          const bool keepReading = options.onErrorLine(pid, pendingErr.substr(0, end));
          pendingErr.erase(0, end + 1);
          if (!keepReading) {
            ::close(fds[1]);
            fds[1] = -1;
          }
        }
      }
    }
    if (!killed && std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      killed = true;
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::vector<int> ProgramRun::states() const {
  std::vector<int> states;
  for (const nlohmann::json& line : statusLines) states.push_back(line.at("state").get<int>());
  return states;
}

ProgramRun runProgram(const char* program, const nlohmann::json& task, SpawnOptions options) {
  options.args = {"--task", base64Encode(task.dump()), "--config", base64Encode("{}")};
  ProgramRun result;
  result.child = spawnChild(program, options);
  for (const std::string& line : splitLines(result.child.err)) {
    if (line.rfind("{\"output\":", 0) == 0)
      result.statusLines.push_back(nlohmann::json::parse(line));
  }
  return result;
}

}  // namespace vmtest
