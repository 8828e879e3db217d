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
  if (!timers_.empty()) {
    auto it = timers_.begin();
    if (it->first.first <= deadline) {
      if (it->first.first > now_) now_ = it->first.first;
      auto fn = std::move(it->second);
      when_.erase(it->first.second);
      timers_.erase(it);
      fn();
      return;
    }
  }
  if (deadline > now_) now_ = deadline;
}

TimerId VirtualEventLoop::schedule_at(Micros at, std::function<void()> fn) {
  TimerId id = next_id_++;
  if (at < now_) at = now_;
  timers_.emplace(std::make_pair(at, id), std::move(fn));
  when_.emplace(id, at);
  return id;
}

void VirtualEventLoop::cancel(TimerId id) {
  auto it = when_.find(id);
  if (it == when_.end()) return;
  timers_.erase(std::make_pair(it->second, id));
  when_.erase(it);
}

void VirtualEventLoop::post(std::function<void()> fn) {
  std::lock_guard lock(posted_mutex_);
  posted_.push_back(std::move(fn));
}

void VirtualEventLoop::run_until_idle(Micros deadline) {
  for (;;) {
    {
      std::lock_guard lock(posted_mutex_);
      if (posted_.empty() && (timers_.empty() || timers_.begin()->first.first > deadline)) break;
    }
    process_events(deadline);
  }
  if (deadline > now_) now_ = deadline;
}

}  // namespace ql
