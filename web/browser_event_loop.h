#pragma once
// The event loop of the page: the browser's own. The module never waits: it
// runs what is ready and returns to the browser, which calls it back when a
// timer falls due (setTimeout), when work has been posted (a MessageChannel
// message: chained setTimeout(0) calls are clamped to 4 ms, which would put
// 4 ms between the reports of an upload) and when a device speaks (WebHID's
// events, posted here). Time is performance.now().
//
// Blocking waits are therefore not allowed: a wait that processes events
// until its answer would hold the page until its deadline, and the answer
// could not even arrive meanwhile (it comes through the browser's own queue).
// Sessions in the browser wait by suspending (Exchange::SetBlockingWaits
// (false)); process_events() with nothing ready and a deadline still ahead
// throws BlockingWaitError instead of spinning, so a blocking wait shows up at
// once in tests. sleep() returns at once for the same reason.
//
// What asks the browser for the callbacks is a BrowserLoopHost; the page's
// is JavaScript (browser_loop_host.cpp), tests give one on a virtual clock.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/event_loop.h"
#include "core/timer_queue.h"

namespace ql::web {

// A blocking wait was tried on the browser's loop.
class BlockingWaitError : public std::logic_error {
 public:
  BlockingWaitError() : std::logic_error("the browser's event loop cannot wait: use suspending waits") {}
};

class BrowserEventLoop;

class BrowserLoopHost {
 public:
  virtual ~BrowserLoopHost() = default;
  // The loop its callbacks go to; null once the loop has gone.
  virtual void Attach(BrowserEventLoop* loop) = 0;
  virtual Micros Now() const = 0;
  // Asks for one BrowserEventLoop::OnWake() after what the page has queued.
  virtual void RequestWake() = 0;
  // Asks for one BrowserEventLoop::OnTimer() at `at` on the clock (or soon
  // after), replacing the request before it.
  virtual void ArmTimer(Micros at) = 0;
  virtual void CancelTimer() = 0;
};

// The page's host: performance.now(), setTimeout, a MessageChannel.
std::unique_ptr<BrowserLoopHost> MakePageLoopHost();

class BrowserEventLoop final : public EventLoop {
 public:
  // On the page's host (JavaScript).
  BrowserEventLoop();
  explicit BrowserEventLoop(std::unique_ptr<BrowserLoopHost> host);
  ~BrowserEventLoop() override;
  BrowserEventLoop(const BrowserEventLoop&) = delete;
  BrowserEventLoop& operator=(const BrowserEventLoop&) = delete;

  Micros now() const override { return host_->Now(); }
  // Runs what is ready; never waits (see BlockingWaitError).
  void process_events(Micros deadline) override;
  bool process_ready() override;
  TimerId schedule_at(Micros at, std::function<void()> fn) override;
  void cancel(TimerId id) override;
  void post(std::function<void()> fn) override;
  // Nothing may sleep on the page: returns at once.
  void sleep(Micros duration) override { (void)duration; }

  // ---- The host's callbacks ------------------------------------------------
  // The wake asked for: one batch of posted work, then the timers due. Work
  // posted meanwhile waits for the next wake, so the page's own events (a
  // click, a report) come in between.
  void OnWake();
  // The timer asked for: the timers due now.
  void OnTimer();

  std::size_t pending_timers() const { return timers_.size(); }

 private:
  bool RunReady();
  // Asks the host for what comes next: a wake while work is ready, else the
  // timer for the earliest one.
  void Arrange();

  std::unique_ptr<BrowserLoopHost> host_;
  TimerQueue timers_;
  std::vector<std::function<void()>> posted_;
  bool wake_requested_ = false;
  std::optional<Micros> armed_at_;
  int running_ = 0;  // inside a callback: Arrange() once at its end
};

}  // namespace ql::web
