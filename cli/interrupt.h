#pragma once
// The signals that ask a command to stop: SIGINT (Ctrl+C), SIGTERM
// (`kill`, `timeout`, `systemctl stop`) and SIGHUP (the terminal closed).
// The handler only writes the signal's number to a pipe; the event loop
// watches the pipe and runs the stop request on the event thread, where
// waits can be cancelled safely. The first stop signal stops soundly (every
// board left in step, the table and the log written); a second one abandons.

#include <functional>

#include "cli/exit_codes.h"
#include "core/event_loop.h"

namespace ql::cli {

class StopSignalWatch {
 public:
  // Installs the handlers (without SA_RESTART, so a blocking terminal read
  // returns) and calls `on_stop` from the loop once for each stop signal,
  // with its number.
  StopSignalWatch(EventLoop& loop, std::function<void(int signal)> on_stop);
  // Puts the earlier handlers back.
  ~StopSignalWatch();
  StopSignalWatch(const StopSignalWatch&) = delete;
  StopSignalWatch& operator=(const StopSignalWatch&) = delete;

  // The first stop signal since the watch was installed; 0 for none.
  static int FirstSignal();
  static bool Stopped() { return FirstSignal() != 0; }
  // How many stop signals have arrived since the watch was installed.
  static int Count();
  // The exit code of a run the first stop signal ended (Interrupted when none came).
  static ExitCode StopCode() { return StopSignalExitCode(FirstSignal()); }

  // SIGINT 130, SIGTERM 143, SIGHUP 129.
  static ExitCode StopSignalExitCode(int signal);

 private:
  EventLoop& loop_;
  EventLoop::WatchId watch_ = 0;
  std::function<void(int)> on_stop_;
};

// SIGPIPE and SIGXFSZ ignored for the whole process: a closed pipe or a file
// at its size limit then fails the write (EPIPE, EFBIG), which the writer
// reports, instead of ending the process with every board mid-write.
void IgnoreWriteSignals();

}  // namespace ql::cli
