#pragma once
// The command line's event loop: real time, a timer queue, posted work from
// other threads and, on Linux, readable file descriptors, all waited for in
// one call of the system's (poll() on an eventfd and the descriptors; on
// Windows a wait on an event object, since every source there -- HID
// readers, the device watcher, the console's Ctrl+C -- is a thread that
// posts); nothing spins. The waiting is each system's own file:
// core/posix/loop_wait.cpp, core/win32/loop_wait.cpp.

#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/event_loop.h"
#include "core/timer_queue.h"

namespace ql {

class BlockingEventLoop final : public EventLoop {
 public:
  BlockingEventLoop();
  ~BlockingEventLoop() override;
  BlockingEventLoop(const BlockingEventLoop&) = delete;
  BlockingEventLoop& operator=(const BlockingEventLoop&) = delete;

  Micros now() const override;
  void process_events(Micros deadline) override;
  bool process_ready() override;
  TimerId schedule_at(Micros at, std::function<void()> fn) override;
  void cancel(TimerId id) override;
  void post(std::function<void()> fn) override;
  void sleep(Micros duration) override;
  WatchId watch_readable(int fd, std::function<void()> fn) override;
  void unwatch(WatchId id) override;

 private:
  bool run_posted();
  // Waits up to `wait` for posted work or a readable watch and runs what
  // became ready; true when something ran.
  bool poll_watches(Micros wait);
  // Ends a wait of poll_watches from another thread.
  void wake();

  class Waker;  // the system's wake-up object
  std::unique_ptr<Waker> waker_;
  TimerQueue timers_;
  std::mutex posted_mutex_;
  std::vector<std::function<void()>> posted_;
  struct Watch {
    int fd;
    std::function<void()> fn;
  };
  std::map<WatchId, Watch> watches_;
  WatchId next_watch_ = 1;
};

}  // namespace ql
