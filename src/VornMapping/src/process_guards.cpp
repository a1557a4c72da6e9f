#include "process_guards.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace {

volatile sig_atomic_t g_stopRequested = 0;

void requestStop(int) { g_stopRequested = 1; }

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

bool stopRequestedBySignal() { return g_stopRequested != 0; }
