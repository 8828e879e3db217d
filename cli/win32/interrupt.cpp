// The stop requests on Windows: the console's control handler runs on a
// thread the system starts for each event, and posts the request to the loop.
#include <windows.h>

#include <atomic>
#include <mutex>

#include "cli/interrupt.h"

namespace ql::cli {

namespace {

// How long a closed console, a log-off or a shut-down is held for the run to
// end soundly: Windows ends the process after about five seconds anyway.
constexpr DWORD kCloseWaitMs = 4500;

std::atomic<int> g_first{0};
std::atomic<int> g_count{0};

std::mutex g_mutex;
StopSignalWatch* g_watch = nullptr;  // under g_mutex
EventLoop* g_loop = nullptr;         // under g_mutex
unsigned g_generation = 0;           // under g_mutex: which watch a posted request is for
// Set while no watch is installed: a closed console waits for it.
HANDLE g_gone = nullptr;

int SignalOfEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      return kInterruptSignal;
    case CTRL_CLOSE_EVENT:
      return kHangupSignal;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      return kTerminateSignal;
    default:
      return 0;
  }
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (!ConsoleStopEvent(event)) return FALSE;
  if (SignalOfEvent(event) != kInterruptSignal && g_gone != nullptr) ::WaitForSingleObject(g_gone, kCloseWaitMs);
  return TRUE;
}

}  // namespace

bool ConsoleStopEvent(unsigned long event) {
  const int signal = SignalOfEvent(event);
  if (signal == 0) return false;
  std::lock_guard lock(g_mutex);
  if (g_watch == nullptr) return false;
  int none = 0;
  g_first.compare_exchange_strong(none, signal);
  ++g_count;
  const unsigned generation = g_generation;
  g_loop->post([signal, generation] {
    // On the event thread, where the watch is also taken down: once it has
    // been, the request finds no one.
    StopSignalWatch* watch = nullptr;
    {
      std::lock_guard lock(g_mutex);
      if (g_generation == generation) watch = g_watch;
    }
    if (watch != nullptr && watch->on_stop_) watch->on_stop_(signal);
  });
  return true;
}

StopSignalWatch::StopSignalWatch(EventLoop& loop, std::function<void(int signal)> on_stop)
    : loop_(loop), on_stop_(std::move(on_stop)) {
  g_first = 0;
  g_count = 0;
  {
    std::lock_guard lock(g_mutex);
    g_watch = this;
    g_loop = &loop;
    ++g_generation;
    if (g_gone == nullptr) g_gone = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_gone != nullptr) ::ResetEvent(g_gone);
  }
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

StopSignalWatch::~StopSignalWatch() {
  ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  std::lock_guard lock(g_mutex);
  g_watch = nullptr;
  g_loop = nullptr;
  ++g_generation;
  if (g_gone != nullptr) ::SetEvent(g_gone);
}

int StopSignalWatch::FirstSignal() { return g_first; }

int StopSignalWatch::Count() { return g_count; }

void IgnoreWriteSignals() {}

}  // namespace ql::cli
