#pragma once
// Virtual time for tests and benchmarks: the clock only moves when the loop
// has nothing to do but wait for the next timer, so a 1000 ms time-out or a
// 3000 ms erase costs microseconds and every run is deterministic.

#include <mutex>
#include <vector>

#include "core/event_loop.h"
#include "core/timer_queue.h"

namespace ql {

class VirtualEventLoop final : public EventLoop {
 public:
  Micros now() const override { return now_; }
  // Runs posted work if there is any; otherwise jumps the clock to the
  // earliest timer due by `deadline` and runs it; otherwise jumps to `deadline`.
  void process_events(Micros deadline) override;
  bool process_ready() override;
  TimerId schedule_at(Micros at, std::function<void()> fn) override;
  void cancel(TimerId id) override;
  void post(std::function<void()> fn) override;
  void sleep(Micros duration) override { now_ += duration; }

  // Runs everything that is due now or later, up to `deadline`.
  void run_until_idle(Micros deadline);
  // Convenience for tests: advance the clock by `d`, running what falls due.
  void advance(Micros d) { run_until_idle(now_ + d); }
  // The clock jumps by `d` while nothing runs: the process stopped, paged out
  // or starved while the devices and the kernel went on. What fell due
  // meanwhile runs afterwards, late.
  void Hold(Micros d) { now_ += d; }
  std::size_t pending_timers() const { return timers_.size(); }

 private:
  bool run_posted();

  Micros now_ = 0;
  TimerQueue timers_;
  std::mutex posted_mutex_;
  std::vector<std::function<void()>> posted_;
};

}  // namespace ql
