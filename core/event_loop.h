#pragma once
// The event-loop seam. Everything that waits for the device (a command's
// acknowledgement, a boot-info record) keeps processing events while it waits:
// report deliveries, timers, device removals, clicks. Three loops implement it:
// the window's Qt loop, the command line's blocking loop (BlockingEventLoop) and
// a virtual-time loop for tests (VirtualEventLoop) in which a 3000 ms erase
// takes no real time.

#include <cstdint>
#include <deque>
#include <functional>

namespace ql {

// Microseconds on the loop's monotonic clock. Time-outs are given in
// milliseconds by the protocol; the finer unit lets the simulated device's
// timing model (1 ms USB frames, sub-millisecond flash writes) add up exactly.
using Micros = std::int64_t;
constexpr Micros from_ms(std::int64_t ms) { return ms * 1000; }
using TimerId = std::uint64_t;

class EventLoop {
 public:
  virtual ~EventLoop() = default;

  // Current time on the loop's clock.
  virtual Micros now() const = 0;

  // Runs every handler that is ready (posted work, due timers, readable file
  // descriptors). If none is ready, blocks until one is or until `deadline`
  // (on the loop's clock) has passed. Never busy-waits.
  virtual void process_events(Micros deadline) = 0;

  // Runs every handler that is ready now (posted work, due timers, readable
  // descriptors) without blocking; true when one ran. A wait whose deadline
  // has passed calls it before it gives up: when the loop itself ran late (a
  // busy machine, a stopped process), what happened meanwhile is heard before
  // the silence, as a window's timer is the last message it handles.
  virtual bool process_ready() = 0;

  // Runs `fn` on the event thread once the loop's clock reaches `at`.
  virtual TimerId schedule_at(Micros at, std::function<void()> fn) = 0;
  virtual void cancel(TimerId id) = 0;

  // Thread-safe: queues `fn` to run on the event thread and wakes the loop.
  virtual void post(std::function<void()> fn) = 0;

  // Sleeps without processing any event (virtual loops just advance the clock).
  virtual void sleep(Micros duration) = 0;

  // Calls `fn` on the event thread whenever `fd` is readable. Loops that cannot
  // watch descriptors (the virtual loop) return 0, and callers fall back to
  // polling.
  using WatchId = std::uint64_t;
  virtual WatchId watch_readable(int fd, std::function<void()> fn) {
    (void)fd;
    (void)fn;
    return 0;
  }
  virtual void unwatch(WatchId id) { (void)id; }

  TimerId schedule_after(Micros delay, std::function<void()> fn) {
    return schedule_at(now() + delay, std::move(fn));
  }

  // ---- Waits and deferred work -------------------------------------------
  // A wait for the device marks itself with a WaitScope. Work that must not
  // run nested inside a running wait (the device-list rebuild with its own
  // boot-info request) goes through run_outside_waits(): it runs at once when
  // no wait is active, and otherwise right after the outermost wait ends.

  class WaitScope {
   public:
    explicit WaitScope(EventLoop& loop) : loop_(loop) { ++loop_.wait_depth_; }
    ~WaitScope();
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;

   private:
    EventLoop& loop_;
  };

  int wait_depth() const { return wait_depth_; }
  bool in_wait() const { return wait_depth_ > 0; }

  // Event thread only.
  void run_outside_waits(std::function<void()> fn);

  // Processes events until `done()` holds or `deadline` passes. Returns done().
  bool run_until(const std::function<bool()>& done, Micros deadline);

 private:
  void flush_deferred();

  int wait_depth_ = 0;
  std::deque<std::function<void()>> deferred_;
};

}  // namespace ql
