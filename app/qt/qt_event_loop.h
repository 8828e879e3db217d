#pragma once
// The window's side of the event-loop seam: Qt's own event loop. A wait for
// the device processes window events (clicks, timers, report deliveries) and
// blocks in the platform's event wait while nothing happens.

#include <QObject>

#include <cstdint>
#include <map>
#include <memory>
#include <utility>

#include "core/event_loop.h"
#include "core/timer_queue.h"

class QSocketNotifier;

namespace ql {

class QtEventLoop final : public EventLoop {
 public:
  QtEventLoop();
  ~QtEventLoop() override;
  QtEventLoop(const QtEventLoop&) = delete;
  QtEventLoop& operator=(const QtEventLoop&) = delete;

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
  void RunDueTimers();
  void Rearm();

  // Receiver of posted work; lives on the thread that created the loop.
  std::unique_ptr<QObject> context_;
  // Timers run from one timerfd armed at the earliest deadline, so they keep
  // microsecond precision: Qt's own timers count whole milliseconds, which
  // would add up to a millisecond to every simulated device answer.
  int timer_fd_ = -1;
  QSocketNotifier* timer_notifier_ = nullptr;  // owned by context_
  TimerQueue timers_;
  WatchId next_watch_ = 1;
  std::map<WatchId, QSocketNotifier*> watches_;  // owned by context_
  // Counts our handlers (posted work, timers, watches) as they run, so that
  // process_ready can tell whether it ran one of them.
  std::uint64_t handled_ = 0;
};

}  // namespace ql
