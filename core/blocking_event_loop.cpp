#include "core/blocking_event_loop.h"

#include <chrono>
#include <thread>

namespace ql {

Micros BlockingEventLoop::now() const {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool BlockingEventLoop::run_posted() {
  std::vector<std::function<void()>> batch;
  {
    std::lock_guard lock(posted_mutex_);
    batch.swap(posted_);
  }
  for (auto& fn : batch) fn();
  return !batch.empty();
}

void BlockingEventLoop::process_events(Micros deadline) {
  // Both run every time: due timers must not wait behind a steady stream of posts.
  const bool ran_posted = run_posted();
  const bool ran_timers = timers_.RunDue(now());
  if (ran_posted || ran_timers) return;

  Micros until = deadline;
  if (auto earliest = timers_.Earliest(); earliest && *earliest < until) until = *earliest;
  Micros wait = until - now();
  if (wait < 0) wait = 0;
  poll_watches(wait);
  run_posted();
  timers_.RunDue(now());
}

bool BlockingEventLoop::process_ready() {
  bool ran = run_posted();
  ran = timers_.RunDue(now()) || ran;
  ran = poll_watches(0) || ran;
  return ran;
}

TimerId BlockingEventLoop::schedule_at(Micros at, std::function<void()> fn) {
  return timers_.Add(at, std::move(fn));
}

void BlockingEventLoop::cancel(TimerId id) { timers_.Cancel(id); }

void BlockingEventLoop::post(std::function<void()> fn) {
  {
    std::lock_guard lock(posted_mutex_);
    posted_.push_back(std::move(fn));
  }
  wake();
}

void BlockingEventLoop::sleep(Micros duration) {
  std::this_thread::sleep_for(std::chrono::microseconds(duration));
}

}  // namespace ql
