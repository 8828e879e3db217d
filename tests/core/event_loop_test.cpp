#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/blocking_event_loop.h"
#include "core/virtual_event_loop.h"

namespace ql {
namespace {

TEST(VirtualEventLoop, TimersRunInTimeOrderAndOnlyTheClockMoves) {
  VirtualEventLoop loop;
  std::vector<int> order;
  loop.schedule_at(from_ms(3000), [&] { order.push_back(3); });
  loop.schedule_at(from_ms(10), [&] { order.push_back(1); });
  loop.schedule_at(from_ms(10), [&] { order.push_back(2); });  // same time: scheduling order
  auto cancelled = loop.schedule_at(from_ms(20), [&] { order.push_back(99); });
  loop.cancel(cancelled);
  loop.run_until_idle(from_ms(5000));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(loop.now(), from_ms(5000));
}

TEST(VirtualEventLoop, ProcessEventsStopsAtTheDeadlineWithoutRunningLaterTimers) {
  VirtualEventLoop loop;
  bool ran = false;
  loop.schedule_at(from_ms(100), [&] { ran = true; });
  loop.process_events(from_ms(50));
  EXPECT_FALSE(ran);
  EXPECT_EQ(loop.now(), from_ms(50));
  loop.process_events(from_ms(200));
  EXPECT_TRUE(ran);
  EXPECT_EQ(loop.now(), from_ms(100));
}

TEST(EventLoop, WorkDeferredDuringAWaitRunsAfterTheOutermostWaitEnds) {
  VirtualEventLoop loop;
  std::vector<std::string> log;
  {
    EventLoop::WaitScope outer(loop);
    {
      EventLoop::WaitScope inner(loop);
      loop.run_outside_waits([&] { log.push_back("deferred"); });
    }
    loop.run_until_idle(loop.now() + 10);
    EXPECT_TRUE(log.empty()) << "must not run while the outer wait is active";
  }
  loop.run_until_idle(loop.now() + 10);
  EXPECT_EQ(log, (std::vector<std::string>{"deferred"}));
  loop.run_outside_waits([&] { log.push_back("direct"); });
  EXPECT_EQ(log.back(), "direct");
}

TEST(BlockingEventLoop, WorkPostedFromAnotherThreadWakesTheLoop) {
  BlockingEventLoop loop;
  bool ran = false;
  std::thread t([&] { loop.post([&] { ran = true; }); });
  t.join();
  // The deadline is far away: only the wake-up can end this call early.
  loop.process_events(loop.now() + from_ms(10000));
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace ql

namespace ql {
namespace {

// A loop that ran late (held past the deadline) hears what is ready before
// run_until gives up: the condition it was waiting for had come in time.
TEST(EventLoop, RunUntilTakesWhatIsReadyAtALateDeadline) {
  VirtualEventLoop loop;
  bool done = false;
  loop.schedule_at(from_ms(10), [&] { loop.Hold(from_ms(1000)); });
  loop.schedule_at(from_ms(20), [&] { done = true; });
  EXPECT_TRUE(loop.run_until([&] { return done; }, from_ms(500)));
  bool never = false;
  EXPECT_FALSE(loop.run_until([&] { return never; }, loop.now() + from_ms(5)));
}

}  // namespace
}  // namespace ql
