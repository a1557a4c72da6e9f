#include "process_guards.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>

namespace {

// Read by the status loop and by the run thread, written by the handler on any thread: an
// atomic that needs no lock is safe in a signal handler and free of data races.
std::atomic<int> g_stopRequested{0};
static_assert(std::atomic<int>::is_always_lock_free);

void requestStop(int) { g_stopRequested.store(1); }

}  // namespace

void openClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open returns the lowest free descriptor, which is this one.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

void ignoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

void ignoreFileSizeSignal() { ::signal(SIGXFSZ, SIG_IGN); }

void installStopSignals() {
  struct sigaction action {};
  action.sa_handler = requestStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
    ::sigaction(signal, &action, nullptr);
    sigaddset(&stopSignals, signal);
  }
  ::sigprocmask(SIG_UNBLOCK, &stopSignals, nullptr);
}

bool stopRequestedBySignal() { return g_stopRequested.load() != 0; }
