#pragma once
// The command line's event loop: real time, a timer queue, posted work from
// other threads (woken through an eventfd) and readable file descriptors,
// all waited for with one poll(); nothing spins.

#include <map>
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
  // Polls the wake-up descriptor and the watches for `wait` and runs the
  // handlers of those that are readable; true when one ran.
  bool poll_watches(Micros wait);

  int wake_fd_ = -1;
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
