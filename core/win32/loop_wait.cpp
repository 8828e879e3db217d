// The blocking event loop's waiting on Windows: a wait on one auto-reset
// event, which posted work sets. Every source of work there is a thread
// that posts (the HID readers and writers, the device watcher's window, the
// console's Ctrl+C handler), so there are no descriptors to watch.
#include <windows.h>

#include <stdexcept>

#include "core/blocking_event_loop.h"

namespace ql {

class BlockingEventLoop::Waker {
 public:
  Waker() : event(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
    if (event == nullptr) throw std::runtime_error("cannot create the event loop's wake-up event");
  }
  ~Waker() { ::CloseHandle(event); }
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  const HANDLE event;
};

BlockingEventLoop::BlockingEventLoop() : waker_(std::make_unique<Waker>()) {}

BlockingEventLoop::~BlockingEventLoop() = default;

void BlockingEventLoop::wake() { ::SetEvent(waker_->event); }

bool BlockingEventLoop::poll_watches(Micros wait) {
  // Whole milliseconds, rounded up: a wait cut short would only come round
  // again at once.
  const DWORD ms = wait <= 0 ? 0 : static_cast<DWORD>((wait + 999) / 1000);
  if (::WaitForSingleObject(waker_->event, ms) != WAIT_OBJECT_0) return false;
  return run_posted();
}

EventLoop::WatchId BlockingEventLoop::watch_readable(int, std::function<void()>) {
  throw std::logic_error("the event loop watches no descriptors on Windows");
}

void BlockingEventLoop::unwatch(WatchId) {}

}  // namespace ql
