#pragma once
// The signals that ask a command to stop: SIGINT (Ctrl+C), SIGTERM
// (`kill`, `timeout`, `systemctl stop`) and SIGHUP (the terminal closed).
// On Linux the handler only writes the signal's number to a pipe, which the
// event loop watches; on Windows the console's control handler, on a thread
// of its own, posts the request to the loop. Either way the stop request
// runs on the event thread, where waits can be cancelled safely. The first
// stop signal stops soundly (every board left in step, the table and the
// log written); a second one abandons. Each system's watch is its own file:
// cli/posix/interrupt.cpp, cli/win32/interrupt.cpp.

#include <functional>

#include "cli/exit_codes.h"
#include "core/event_loop.h"

namespace ql::cli {

// The stop requests, by their POSIX signal numbers on every system. Windows's
// console events are counted as these: Ctrl+C and Ctrl+Break as SIGINT, the
// console window closed as SIGHUP, logging off and shutting down as SIGTERM.
inline constexpr int kHangupSignal = 1;
inline constexpr int kInterruptSignal = 2;
inline constexpr int kTerminateSignal = 15;

class StopSignalWatch {
 public:
  // Installs the handlers (on Linux without SA_RESTART, so a blocking
  // terminal read returns) and calls `on_stop` from the loop once for each stop signal,
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
#ifdef _WIN32
  friend bool ConsoleStopEvent(unsigned long event);
#endif
};

#ifdef _WIN32
// The console control handler's work for `event` (CTRL_C_EVENT ...), called
// on the system's handler thread: counts a stop event as its signal and posts
// it to the watch's loop. True when it was one and a watch took it. The
// handler itself then waits, for a closed console, a log-off or a shut-down,
// until the watch is gone (the run's table and log written), at most a few
// seconds: Windows ends the process as soon as it returns.
bool ConsoleStopEvent(unsigned long event);
#endif

// SIGPIPE and SIGXFSZ ignored for the whole process: a closed pipe or a file
// at its size limit then fails the write (EPIPE, EFBIG), which the writer
// reports, instead of ending the process with every board mid-write. (Windows
// has neither: a failed write only fails there.)
void IgnoreWriteSignals();

}  // namespace ql::cli
