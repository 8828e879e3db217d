#pragma once
// Ctrl+C during a command: the SIGINT handler only writes a byte to a pipe;
// the event loop watches the pipe and runs the stop request on the event
// thread, where waits can be cancelled safely.

#include <functional>

#include "core/event_loop.h"

namespace ql::cli {

class InterruptWatch {
 public:
  // Installs the handler (without SA_RESTART, so a blocking terminal read
  // returns) and calls `on_interrupt` from the loop once for each SIGINT.
  InterruptWatch(EventLoop& loop, std::function<void()> on_interrupt);
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

  // Whether SIGINT arrived since the watch was installed.
  static bool Interrupted();

 private:
  EventLoop& loop_;
  EventLoop::WatchId watch_ = 0;
  std::function<void()> on_interrupt_;
};

}  // namespace ql::cli
