#include "app/win32/win32_event_loop.h"

#include <mmsystem.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace ql {

namespace {

constexpr UINT kWakeMessage = WM_APP + 1;
constexpr UINT_PTR kTimerId = 1;
constexpr wchar_t kClassName[] = L"QuelloaderEventLoop";

LRESULT CALLBACK LoopWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* loop = reinterpret_cast<Win32EventLoop*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (loop != nullptr && (message == kWakeMessage || message == WM_TIMER))
    return loop->HandleMessage(message, wparam, lparam);
  return ::DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace

Win32EventLoop::Win32EventLoop() {
  ::QueryPerformanceFrequency(&frequency_);
  // Waits and system timers to the millisecond, not the default 15.6 ms tick.
  period_set_ = ::timeBeginPeriod(1) == TIMERR_NOERROR;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = LoopWindowProc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = kClassName;
  ::RegisterClassExW(&wc);  // fails harmlessly when a second loop registers it again
  window_ = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, this);
  if (window_ == nullptr) throw std::runtime_error("cannot create the event loop's message window");
}

Win32EventLoop::~Win32EventLoop() {
  {
    std::lock_guard lock(posted_mutex_);
    posted_.clear();
  }
  ::DestroyWindow(window_);
  if (period_set_) ::timeEndPeriod(1);
}

Micros Win32EventLoop::now() const {
  LARGE_INTEGER counter;
  ::QueryPerformanceCounter(&counter);
  const std::int64_t whole = counter.QuadPart / frequency_.QuadPart;
  const std::int64_t rest = counter.QuadPart % frequency_.QuadPart;
  return whole * 1000000 + rest * 1000000 / frequency_.QuadPart;
}

LRESULT Win32EventLoop::HandleMessage(UINT message, WPARAM, LPARAM) {
  if (message == kWakeMessage) {
    RunPosted();
  } else if (message == WM_TIMER) {
    ::KillTimer(window_, kTimerId);
    armed_at_ = -1;
    RunDueTimers();
    ArmSystemTimer();
  }
  return 0;
}

bool Win32EventLoop::RunPosted() {
  // One at a time: a piece of work that waits (and so runs this again,
  // nested) finds the later pieces still queued, in their order.
  bool ran = false;
  for (;;) {
    std::function<void()> fn;
    {
      std::lock_guard lock(posted_mutex_);
      if (posted_.empty()) {
        wake_pending_ = false;
        return ran;
      }
      fn = std::move(posted_.front());
      posted_.pop_front();
    }
    fn();
    ran = true;
  }
}

bool Win32EventLoop::RunDueTimers() {
  // The time is fixed for the pass, so a handler that schedules at once
  // cannot keep it going; each timer is taken out before it runs.
  const Micros t = now();
  bool ran = false;
  while (auto fn = timers_.PopDue(t)) {
    fn();
    ran = true;
  }
  return ran;
}

void Win32EventLoop::ArmSystemTimer() {
  const auto earliest = timers_.Earliest();
  if (!earliest) return;  // a timer left set only fires early, harmlessly
  if (armed_at_ >= 0 && armed_at_ <= *earliest) return;
  const Micros left = std::max<Micros>(*earliest - now(), 0);
  const UINT ms = static_cast<UINT>(std::min<Micros>((left + 999) / 1000, 0x7FFFFFFF));
  ::SetTimer(window_, kTimerId, std::max<UINT>(ms, USER_TIMER_MINIMUM), nullptr);
  armed_at_ = *earliest;
}

bool Win32EventLoop::PumpMessages() {
  bool ran = false;
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Kept as a flag, not put back: the program's loop ends on it once any
      // wait under way has ended, and a message box shown after that (a
      // settings file that cannot be written) still opens.
      quit_ = true;
      exit_code_ = static_cast<int>(msg.wParam);
      return true;
    }
    ran = true;
    // Tab, the arrow keys and Space move between and press the window's buttons.
    if (keyboard_window_ != nullptr && ::IsWindow(keyboard_window_) && ::IsDialogMessageW(keyboard_window_, &msg))
      continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return ran;
}

void Win32EventLoop::process_events(Micros deadline) {
  // Posted work and timers run here as well as from their messages: due
  // timers must not wait behind a steady stream of window messages.
  bool ran = RunPosted();
  ran = RunDueTimers() || ran;
  ran = PumpMessages() || ran;
  if (ran || quit_) {
    ArmSystemTimer();
    return;
  }
  Micros until = deadline;
  if (auto earliest = timers_.Earliest(); earliest && *earliest < until) until = *earliest;
  const Micros wait = std::max<Micros>(until - now(), 0);
  // Whole milliseconds, rounded up: a wait cut short would only come round again.
  const DWORD ms = static_cast<DWORD>(std::min<Micros>((wait + 999) / 1000, INFINITE - 1));
  ::MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  RunPosted();
  RunDueTimers();
  PumpMessages();
  ArmSystemTimer();
}

bool Win32EventLoop::process_ready() {
  bool ran = RunPosted();
  ran = RunDueTimers() || ran;
  ran = PumpMessages() || ran;
  ArmSystemTimer();
  return ran;
}

TimerId Win32EventLoop::schedule_at(Micros at, std::function<void()> fn) {
  const TimerId id = timers_.Add(at, std::move(fn));
  ArmSystemTimer();
  return id;
}

void Win32EventLoop::cancel(TimerId id) { timers_.Cancel(id); }

void Win32EventLoop::post(std::function<void()> fn) {
  bool wake = false;
  {
    std::lock_guard lock(posted_mutex_);
    posted_.push_back(std::move(fn));
    wake = !wake_pending_;
    wake_pending_ = true;
  }
  // One wake-up message at a time, however much is posted: the queue of a
  // thread holds at most 10000 messages.
  if (wake) ::PostMessageW(window_, kWakeMessage, 0, 0);
}

void Win32EventLoop::sleep(Micros duration) {
  if (duration > 0) ::Sleep(static_cast<DWORD>((duration + 999) / 1000));
}

}  // namespace ql
