#include "cli/interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace ql::cli {

namespace {

int g_pipe[2] = {-1, -1};
volatile sig_atomic_t g_interrupted = 0;
struct sigaction g_previous {};

extern "C" void OnSigint(int) {
  const int saved = errno;
  g_interrupted = 1;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

InterruptWatch::InterruptWatch(EventLoop& loop, std::function<void()> on_interrupt)
    : loop_(loop), on_interrupt_(std::move(on_interrupt)) {
  g_interrupted = 0;
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction sa {};
  sa.sa_handler = OnSigint;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  ::sigaction(SIGINT, &sa, &g_previous);
  watch_ = loop_.watch_readable(g_pipe[0], [this] {
    // One byte per SIGINT: a second Ctrl+C means more than the first, even
    // when both are read at once.
    char buf[16];
    ssize_t n = 0;
    while ((n = ::read(g_pipe[0], buf, sizeof buf)) > 0) {
      for (ssize_t i = 0; i < n; ++i)
        if (on_interrupt_) on_interrupt_();
    }
  });
}

InterruptWatch::~InterruptWatch() {
  if (g_pipe[0] < 0) return;
  ::sigaction(SIGINT, &g_previous, nullptr);
  if (watch_ != 0) loop_.unwatch(watch_);
  ::close(g_pipe[0]);
  ::close(g_pipe[1]);
  g_pipe[0] = g_pipe[1] = -1;
}

bool InterruptWatch::Interrupted() { return g_interrupted != 0; }

}  // namespace ql::cli
