#pragma once
// The browser, as the loop sees it, on a virtual clock: it records the wake
// and the timer the loop asks for, and RunPage() delivers them as the page
// would (the wake first, then the timer once the clock reaches it), so that
// the browser's loop runs in virtual time.

#include <memory>
#include <optional>

#include "web/browser_event_loop.h"

namespace ql::web::test {

struct PageState {
  Micros now = 0;
  bool wake_pending = false;
  int wake_requests = 0;
  std::optional<Micros> timer_at;
  int timer_requests = 0;
  int zero_delay_timers = 0;  // timers asked for at or before now
  BrowserEventLoop* loop = nullptr;
};

class FakeLoopHost final : public BrowserLoopHost {
 public:
  explicit FakeLoopHost(std::shared_ptr<PageState> page) : page_(std::move(page)) {}
  void Attach(BrowserEventLoop* loop) override { page_->loop = loop; }
  Micros Now() const override { return page_->now; }
  void RequestWake() override {
    page_->wake_pending = true;
    ++page_->wake_requests;
  }
  void ArmTimer(Micros at) override {
    page_->timer_at = at;
    ++page_->timer_requests;
    if (at <= page_->now) ++page_->zero_delay_timers;
  }
  void CancelTimer() override { page_->timer_at.reset(); }

 private:
  std::shared_ptr<PageState> page_;
};

// A loop on the virtual page, and the page's turns.
struct VirtualPage {
  std::shared_ptr<PageState> state = std::make_shared<PageState>();
  BrowserEventLoop loop{std::make_unique<FakeLoopHost>(state)};

  // One turn of the page: the wake if one is asked for, else the timer if it
  // is due by `until` (the clock moves to it). False when nothing was due.
  bool Turn(Micros until) {
    if (state->wake_pending) {
      state->wake_pending = false;
      loop.OnWake();
      return true;
    }
    if (state->timer_at && *state->timer_at <= until) {
      if (*state->timer_at > state->now) state->now = *state->timer_at;
      state->timer_at.reset();
      loop.OnTimer();
      return true;
    }
    return false;
  }
  // Turns until nothing is due by `until`; the clock ends there. Returns the turns taken.
  int RunUntil(Micros until) {
    int turns = 0;
    while (Turn(until)) ++turns;
    if (until > state->now) state->now = until;
    return turns;
  }
  // Turns until `done()` holds or `until` passes; whether it holds.
  template <typename F>
  bool RunUntil(F done, Micros until) {
    while (!done() && Turn(until)) {
    }
    return done();
  }
};

}  // namespace ql::web::test
