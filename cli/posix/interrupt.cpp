// The stop signals on Linux: sigaction and a self-pipe the event loop watches.
#include "cli/interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace ql::cli {

static_assert(SIGHUP == kHangupSignal && SIGINT == kInterruptSignal && SIGTERM == kTerminateSignal);

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_first = 0;
volatile sig_atomic_t g_count = 0;
struct sigaction g_previous[std::size(kStopSignals)]{};

extern "C" void OnStopSignal(int signal) {
  const int saved = errno;
  // The stop signals block each other while this runs: no update is lost.
  if (g_first == 0) g_first = signal;
  g_count = g_count + 1;
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

StopSignalWatch::StopSignalWatch(EventLoop& loop, std::function<void(int signal)> on_stop)
    : loop_(loop), on_stop_(std::move(on_stop)) {
  g_first = 0;
  g_count = 0;
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  for (const int s : kStopSignals) sigaddset(&sa.sa_mask, s);
  sa.sa_flags = 0;
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) ::sigaction(kStopSignals[i], &sa, &g_previous[i]);
  watch_ = loop_.watch_readable(g_pipe[0], [this] {
    // One byte per signal: a second one means more than the first, even when
    // both are read at once.
    char buf[16];
    ssize_t n = 0;
    while ((n = ::read(g_pipe[0], buf, sizeof buf)) > 0) {
      for (ssize_t i = 0; i < n; ++i)
        if (on_stop_) on_stop_(static_cast<unsigned char>(buf[i]));
    }
  });
}

StopSignalWatch::~StopSignalWatch() {
  if (g_pipe[0] < 0) return;
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) ::sigaction(kStopSignals[i], &g_previous[i], nullptr);
  if (watch_ != 0) loop_.unwatch(watch_);
  ::close(g_pipe[0]);
  ::close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

int StopSignalWatch::FirstSignal() { return g_first; }

int StopSignalWatch::Count() { return g_count; }

void IgnoreWriteSignals() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace ql::cli
