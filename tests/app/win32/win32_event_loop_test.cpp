// The Win32 window's event loop on a real message queue (under Wine in the
// Windows build): work posted from other threads wakes a wait at once,
// timers keep their order to the microsecond, and both go on while a modal
// dialog runs its own message loop. Nothing sleeps: every wait ends on the
// event it waits for, with a generous deadline only as a bound.
#include "app/win32/win32_event_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace ql {
namespace {

constexpr Micros kBound = 10'000'000;  // 10 s: only a failing test waits that long

TEST(Win32EventLoop, WorkPostedFromAnotherThreadWakesAWaitAndRunsInOrder) {
  Win32EventLoop loop;
  std::vector<int> order;
  std::thread poster([&loop, &order] {
    for (int i = 0; i < 500; ++i) loop.post([&order, i] { order.push_back(i); });
  });
  const Micros start = loop.now();
  ASSERT_TRUE(loop.run_until([&] { return order.size() == 500; }, start + kBound));
  poster.join();
  EXPECT_LT(loop.now() - start, kBound / 4);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(Win32EventLoop, TimersRunByTimeThenOrderAndCancelledOnesNever) {
  Win32EventLoop loop;
  std::string ran;
  const Micros t0 = loop.now();
  loop.schedule_at(t0 + 3000, [&] { ran += 'c'; });
  loop.schedule_at(t0 + 1500, [&] { ran += 'b'; });
  loop.schedule_at(t0 + 1500, [&] { ran += 'B'; });  // same time: in the order scheduled
  const TimerId gone = loop.schedule_at(t0 + 1000, [&] { ran += 'x'; });
  loop.schedule_at(t0 + 1200, [&] { ran += 'a'; });
  loop.cancel(gone);
  Micros c_at = 0;
  loop.schedule_at(t0 + 3000, [&] { c_at = loop.now(); });
  ASSERT_TRUE(loop.run_until([&] { return c_at != 0; }, t0 + kBound));
  EXPECT_EQ(ran, "abBc");
  EXPECT_GE(c_at, t0 + 3000);  // never early, though waits count whole milliseconds
}

// A modal dialog (message box, task dialog, file dialog) runs its own
// GetMessage/DispatchMessage loop and never calls process_events: the loop's
// work must reach the thread as messages alone. The same loop as a dialog's
// stands in for one here, since a dialog needs a display.
TEST(Win32EventLoop, PostedWorkAndTimersRunWhileAModalLoopPumpsTheQueue) {
  Win32EventLoop loop;
  bool in_modal = false;
  bool timer_in_modal = false;
  bool post_in_modal = false;
  int timer_ticks = 0;
  // A repeating 15 ms timer, as the slide of the activity panel uses.
  std::function<void()> tick = [&] {
    if (in_modal) ++timer_ticks;
    if (timer_ticks < 3) loop.schedule_after(15'000, tick);
  };
  loop.schedule_after(15'000, tick);
  loop.schedule_after(5'000, [&] {
    timer_in_modal = in_modal;
    std::thread([&loop, &post_in_modal, &in_modal] { loop.post([&] { post_in_modal = in_modal; }); }).join();
  });
  const Micros start = loop.now();
  in_modal = true;
  MSG msg;
  while (!(post_in_modal && timer_ticks >= 3) && loop.now() - start < kBound) {
    // Bounded: a second's system timer ends each wait if nothing comes.
    const UINT_PTR guard = ::SetTimer(nullptr, 0, 1000, nullptr);
    if (::GetMessageW(&msg, nullptr, 0, 0) <= 0) break;
    ::KillTimer(nullptr, guard);
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  in_modal = false;
  EXPECT_TRUE(timer_in_modal);
  EXPECT_TRUE(post_in_modal);
  EXPECT_GE(timer_ticks, 3);
  EXPECT_LT(loop.now() - start, kBound / 4);
}

TEST(Win32EventLoop, ANestedWaitKeepsLaterWorkInItsOrderAndRemembersAQuit) {
  Win32EventLoop loop;
  std::string ran;
  bool nested_done = false;
  bool quit_seen = false;
  loop.post([&] {
    ran += '1';
    // A handler that waits, as a connect does: the work posted after it
    // runs inside the wait, in its order.
    EventLoop::WaitScope wait(loop);
    ::PostQuitMessage(7);
    loop.run_until([&] { return ran.size() == 3; }, loop.now() + kBound);
    quit_seen = loop.quit();
    nested_done = true;
  });
  loop.post([&] { ran += '2'; });
  loop.post([&] { ran += '3'; });
  ASSERT_TRUE(loop.run_until([&] { return nested_done; }, loop.now() + kBound));
  EXPECT_EQ(ran, "123");
  // The quit met inside the wait ends the program's loop, and is not left in
  // the queue, where it would close the next message box at once.
  EXPECT_TRUE(quit_seen);
  EXPECT_EQ(loop.exit_code(), 7);
  MSG msg;
  EXPECT_FALSE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
}

}  // namespace
}  // namespace ql
