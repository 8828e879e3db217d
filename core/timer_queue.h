#pragma once
// The timers of an event loop, ordered by (time, id) so that timers due at
// the same time run in the order they were scheduled. Shared by the virtual,
// blocking and window loops; not thread-safe (event thread only).

#include <functional>
#include <map>
#include <optional>
#include <utility>

#include "core/event_loop.h"

namespace ql {

class TimerQueue {
 public:
  TimerId Add(Micros at, std::function<void()> fn) {
    const TimerId id = next_id_++;
    timers_.emplace(std::make_pair(at, id), std::move(fn));
    when_.emplace(id, at);
    return id;
  }

  void Cancel(TimerId id) {
    auto it = when_.find(id);
    if (it == when_.end()) return;
    timers_.erase(std::make_pair(it->second, id));
    when_.erase(it);
  }

  bool empty() const { return timers_.empty(); }
  std::size_t size() const { return timers_.size(); }
  std::optional<Micros> Earliest() const {
    if (timers_.empty()) return std::nullopt;
    return timers_.begin()->first.first;
  }

  // Takes the earliest timer out if it is due by `limit`; its time goes to `at`.
  std::function<void()> PopDue(Micros limit, Micros* at = nullptr) {
    if (timers_.empty() || timers_.begin()->first.first > limit) return {};
    auto it = timers_.begin();
    if (at != nullptr) *at = it->first.first;
    auto fn = std::move(it->second);
    when_.erase(it->first.second);
    timers_.erase(it);
    return fn;
  }

  // Runs every timer due by `t`, earliest first; `t` is fixed for the pass, so
  // a handler that schedules later work cannot keep the pass going.
  bool RunDue(Micros t) {
    bool ran = false;
    while (auto fn = PopDue(t)) {
      fn();
      ran = true;
    }
    return ran;
  }

 private:
  TimerId next_id_ = 1;
  std::map<std::pair<Micros, TimerId>, std::function<void()>> timers_;
  std::map<TimerId, Micros> when_;
};

}  // namespace ql
