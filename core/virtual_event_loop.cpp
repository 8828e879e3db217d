#include "core/virtual_event_loop.h"

namespace ql {

bool VirtualEventLoop::run_posted() {
  std::vector<std::function<void()>> batch;
  {
    std::lock_guard lock(posted_mutex_);
    batch.swap(posted_);
  }
  for (auto& fn : batch) fn();
  return !batch.empty();
}

void VirtualEventLoop::process_events(Micros deadline) {
  if (run_posted()) return;
  Micros at = 0;
  if (auto fn = timers_.PopDue(deadline, &at)) {
    if (at > now_) now_ = at;
    fn();
    return;
  }
  if (deadline > now_) now_ = deadline;
}

bool VirtualEventLoop::process_ready() {
  bool ran = run_posted();
  while (auto fn = timers_.PopDue(now_)) {
    fn();
    ran = true;
  }
  return ran;
}

TimerId VirtualEventLoop::schedule_at(Micros at, std::function<void()> fn) {
  return timers_.Add(at < now_ ? now_ : at, std::move(fn));
}

void VirtualEventLoop::cancel(TimerId id) { timers_.Cancel(id); }

void VirtualEventLoop::post(std::function<void()> fn) {
  std::lock_guard lock(posted_mutex_);
  posted_.push_back(std::move(fn));
}

void VirtualEventLoop::run_until_idle(Micros deadline) {
  for (;;) {
    {
      std::lock_guard lock(posted_mutex_);
      if (posted_.empty() && (timers_.empty() || *timers_.Earliest() > deadline)) break;
    }
    process_events(deadline);
  }
  if (deadline > now_) now_ = deadline;
}

}  // namespace ql
