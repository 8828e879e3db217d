#pragma once
// The Win32 window's side of the event-loop seam: the thread's own message
// queue. A wait for the device pumps window messages (clicks, paints) and
// blocks in MsgWaitForMultipleObjectsEx until a message, posted work or the
// next timer. Posted work and timers reach the thread as messages to a
// message-only window, so they also run while a modal dialog (a message
// box, the task dialog, the file dialog) pumps the queue with its own loop.

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "core/event_loop.h"
#include "core/timer_queue.h"

namespace ql {

class Win32EventLoop final : public EventLoop {
 public:
  // On the thread that will run the window.
  Win32EventLoop();
  ~Win32EventLoop() override;
  Win32EventLoop(const Win32EventLoop&) = delete;
  Win32EventLoop& operator=(const Win32EventLoop&) = delete;

  Micros now() const override;
  void process_events(Micros deadline) override;
  bool process_ready() override;
  TimerId schedule_at(Micros at, std::function<void()> fn) override;
  void cancel(TimerId id) override;
  void post(std::function<void()> fn) override;
  void sleep(Micros duration) override;

  // True once a WM_QUIT was taken from the queue (PostQuitMessage), also by
  // a nested wait: the program's loop ends.
  bool quit() const { return quit_; }
  int exit_code() const { return exit_code_; }

  // The window whose controls the keyboard moves between, as in a dialog.
  void SetKeyboardWindow(HWND window) { keyboard_window_ = window; }

  // The window procedure of the message-only window (also in tests).
  LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);

 private:
  // Dispatches every queued message; true when one was.
  bool PumpMessages();
  bool RunPosted();
  bool RunDueTimers();
  // Keeps the message window's WM_TIMER due no later than the earliest
  // timer, for the modal loops, which never call process_events.
  void ArmSystemTimer();

  HWND window_ = nullptr;
  HWND keyboard_window_ = nullptr;
  LARGE_INTEGER frequency_{};
  TimerQueue timers_;
  // The earliest time the system timer is set for, or -1 when it is not set.
  Micros armed_at_ = -1;

  std::mutex posted_mutex_;
  std::deque<std::function<void()>> posted_;
  bool wake_pending_ = false;  // a wake-up message is in the queue (guarded by posted_mutex_)

  bool quit_ = false;
  int exit_code_ = 0;
  bool period_set_ = false;
};

}  // namespace ql
