#include "core/event_loop.h"

#include <utility>

namespace ql {

EventLoop::WaitScope::~WaitScope() {
  if (--loop_.wait_depth_ == 0 && !loop_.deferred_.empty()) {
    // Hand the deferred work to the loop rather than running it inside the
    // destructor of the wait that just ended: the caller of that wait first
    // finishes reacting to its result.
    loop_.post([&loop = loop_] { loop.flush_deferred(); });
  }
}

void EventLoop::run_outside_waits(std::function<void()> fn) {
  if (wait_depth_ == 0) {
    fn();
    return;
  }
  deferred_.push_back(std::move(fn));
}

void EventLoop::flush_deferred() {
  while (wait_depth_ == 0 && !deferred_.empty()) {
    auto fn = std::move(deferred_.front());
    deferred_.pop_front();
    fn();
  }
}

bool EventLoop::run_until(const std::function<bool()>& done, Micros deadline) {
  while (!done()) {
    if (now() >= deadline) {
      // A loop that ran late hears what happened meanwhile before it gives
      // up, and what that sets off in turn (a device's arrival, then the
      // notice of it), within bounds.
      for (int round = 0; round < 100 && !done() && process_ready(); ++round) {
      }
      return done();
    }
    process_events(deadline);
  }
  return true;
}

}  // namespace ql
