// The browser's loop on a virtual page: what it asks the browser for (a wake
// for ready work, a timer for the earliest one, nothing when idle), that it
// never waits, and an upload into the simulated bootloader with suspending
// waits on it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/exchange.h"
#include "sim/simulated_bootloader.h"
#include "tests/support/expected_flash.h"
#include "tests/support/recording_ui.h"
#include "tests/upload/upload_test_support.h"
#include "upload/upload_engine.h"
#include "web/tests/fake_loop_host.h"

namespace ql::web::test {
namespace {

TEST(BrowserLoopWake, PostedWorkWaitsForTheWakeAndManyPostsAskOnce) {
  VirtualPage page;
  std::vector<int> ran;
  page.loop.post([&] { ran.push_back(1); });
  page.loop.post([&] { ran.push_back(2); });
  EXPECT_TRUE(ran.empty()) << "posted work never runs inside post()";
  EXPECT_EQ(page.state->wake_requests, 1);
  EXPECT_FALSE(page.state->timer_at) << "ready work goes through the wake, not a timer";
  EXPECT_EQ(page.state->zero_delay_timers, 0);
  page.RunUntil(0);
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST(BrowserLoopWake, WorkPostedByWorkWaitsForTheNextWake) {
  VirtualPage page;
  int second = 0;
  page.loop.post([&] { page.loop.post([&] { ++second; }); });
  ASSERT_TRUE(page.Turn(0));
  // The page's own events come between the two.
  EXPECT_EQ(second, 0);
  EXPECT_TRUE(page.state->wake_pending);
  ASSERT_TRUE(page.Turn(0));
  EXPECT_EQ(second, 1);
  EXPECT_EQ(page.state->wake_requests, 2);
}

TEST(BrowserLoopWake, ATimerDueNowGoesThroughTheWake) {
  // The exchange resumes a parked wait with a timer at now(): a setTimeout
  // for it would cost the 4 ms clamp on every report.
  VirtualPage page;
  page.state->now = 5000;
  bool ran = false;
  page.loop.schedule_at(5000, [&] { ran = true; });
  EXPECT_TRUE(page.state->wake_pending);
  EXPECT_EQ(page.state->timer_requests, 0);
  page.Turn(5000);
  EXPECT_TRUE(ran);
}

TEST(BrowserLoopTimers, OneBrowserTimerFollowsTheEarliest) {
  VirtualPage page;
  std::vector<std::string> ran;
  const TimerId late = page.loop.schedule_at(from_ms(30), [&] { ran.push_back("late"); });
  EXPECT_EQ(page.state->timer_at, from_ms(30));
  page.loop.schedule_at(from_ms(10), [&] { ran.push_back("early"); });
  EXPECT_EQ(page.state->timer_at, from_ms(10)) << "an earlier timer re-arms the browser's";
  page.loop.schedule_at(from_ms(20), [&] { ran.push_back("middle"); });
  EXPECT_EQ(page.state->timer_at, from_ms(10));
  EXPECT_EQ(page.state->timer_requests, 2);

  page.RunUntil(from_ms(10));
  EXPECT_EQ(ran, (std::vector<std::string>{"early"}));
  EXPECT_EQ(page.state->timer_at, from_ms(20)) << "the next one is armed after a run";
  page.loop.cancel(late);
  page.RunUntil(from_ms(20));
  EXPECT_FALSE(page.state->timer_at) << "nothing left: no browser timer";
  page.RunUntil(from_ms(100));
  EXPECT_EQ(ran, (std::vector<std::string>{"early", "middle"}));
}

TEST(BrowserLoopTimers, CancellingTheEarliestMovesOrDropsTheBrowserTimer) {
  VirtualPage page;
  const TimerId a = page.loop.schedule_at(from_ms(5), [] {});
  const TimerId b = page.loop.schedule_at(from_ms(8), [] {});
  page.loop.cancel(a);
  EXPECT_EQ(page.state->timer_at, from_ms(8));
  page.loop.cancel(b);
  EXPECT_FALSE(page.state->timer_at);
  EXPECT_EQ(page.loop.pending_timers(), 0u);
}

TEST(BrowserLoopTimers, ABrowserTimerThatFiresEarlyRunsNothingAndAsksAgain) {
  VirtualPage page;
  bool ran = false;
  page.loop.schedule_at(1500, [&] { ran = true; });
  page.state->now = 1000;  // setTimeout counts whole milliseconds
  page.state->timer_at.reset();
  page.loop.OnTimer();
  EXPECT_FALSE(ran);
  EXPECT_EQ(page.state->timer_at, 1500);
  page.RunUntil(1500);
  EXPECT_TRUE(ran);
}

TEST(BrowserLoopTimers, TimersDueTogetherRunInTheOrderScheduled) {
  VirtualPage page;
  std::vector<int> ran;
  for (int i = 0; i < 5; ++i) page.loop.schedule_at(from_ms(3), [&ran, i] { ran.push_back(i); });
  page.RunUntil(from_ms(3));
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(BrowserLoopNeverWaits, ProcessReadyRunsWhatIsReadyAndReturns) {
  VirtualPage page;
  int ran = 0;
  EXPECT_FALSE(page.loop.process_ready());
  page.loop.post([&] { ++ran; });
  page.loop.schedule_at(0, [&] { ++ran; });
  page.loop.schedule_at(from_ms(1), [&] { ++ran; });
  EXPECT_TRUE(page.loop.process_ready());
  EXPECT_EQ(ran, 2) << "the future timer is not run early";
  EXPECT_EQ(page.state->timer_at, from_ms(1));
}

TEST(BrowserLoopNeverWaits, ABlockingWaitIsRefusedInsteadOfHoldingThePage) {
  VirtualPage page;
  page.loop.schedule_at(from_ms(50), [] {});
  EXPECT_THROW(page.loop.process_events(from_ms(100)), BlockingWaitError);
  EXPECT_EQ(page.state->now, 0) << "no time passed inside the loop";
  // With work ready, or the deadline already past, it returns normally.
  bool ran = false;
  page.loop.post([&] { ran = true; });
  EXPECT_NO_THROW(page.loop.process_events(from_ms(100)));
  EXPECT_TRUE(ran);
  EXPECT_NO_THROW(page.loop.process_events(0));

  // The exchange's blocking wait is one of them.
  Exchange ex(page.loop);
  sim::SimDevice dev(page.loop, *sim::Preset("pic18"));
  dev.AttachTo(ex);
  ex.SendPlainCommand(CMD_BOOT_INFO);
  EXPECT_THROW(ex.WaitForResponse(CMD_BOOT_INFO, 1000), BlockingWaitError);
}

TEST(BrowserLoopNeverWaits, SleepReturnsAtOnce) {
  VirtualPage page;
  page.loop.sleep(from_ms(10));
  EXPECT_EQ(page.state->now, 0);
}

TEST(BrowserLoopGone, ALoopThatGoesCancelsItsBrowserTimer) {
  auto state = std::make_shared<PageState>();
  {
    BrowserEventLoop loop{std::make_unique<FakeLoopHost>(state)};
    EXPECT_EQ(state->loop, &loop);
    loop.schedule_at(from_ms(5), [] {});
    EXPECT_TRUE(state->timer_at);
  }
  EXPECT_FALSE(state->timer_at);
  EXPECT_EQ(state->loop, nullptr) << "no callback reaches a loop that has gone";
}

// The upload's suspending waits on the browser's loop: every step is resumed
// from a wake or a timer, and the flash ends as the layout rules say.
TEST(BrowserLoopUpload, Pic18PresetWithSuspendingWaits) {
  VirtualPage page;
  const sim::Config config = *sim::Preset("pic18");
  Exchange ex(page.loop);
  ex.SetBlockingWaits(false);
  sim::SimDevice dev(page.loop, config);
  dev.AttachTo(ex);
  ex.BootInfo = config.info;
  ex.ApplyBlockSize();
  const std::vector<std::uint8_t> before = dev.flash();
  const FlashImage image = ql::test::PatternImage(3000);
  ql::test::RecordingUi ui;

  Task<UploadOutcome> upload = UploadTask(ex, image, ui);
  EXPECT_FALSE(upload.done()) << "the first wait suspends";
  ASSERT_TRUE(page.RunUntil([&] { return upload.done(); }, from_ms(60000)));
  EXPECT_EQ(upload.result(), UploadOutcome::Completed);
  EXPECT_TRUE(dev.reset_seen());
  EXPECT_EQ(dev.flash(), ql::test::ExpectedFlash(before, config.info, image.bytes));
  // Nothing went through a browser timer of delay 0 (4 ms each, clamped).
  EXPECT_GT(page.state->timer_requests, static_cast<int>(dev.commands().size()));
  EXPECT_EQ(page.state->zero_delay_timers, 0);
}

TEST(BrowserLoopUpload, ASilentDeviceTimesOutOnTheBrowsersTimer) {
  VirtualPage page;
  sim::Config config = *sim::Preset("pic18");
  config.fault = {sim::FaultKind::Silent, 0};
  Exchange ex(page.loop);
  ex.SetBlockingWaits(false);
  sim::SimDevice dev(page.loop, config);
  dev.AttachTo(ex);
  ex.SendPlainCommand(CMD_HANDSHAKE_1);
  auto wait = [&]() -> Task<WaitResult> {
    const WaitResult r = co_await ex.Response(CMD_HANDSHAKE_1, 500);
    co_return r;
  }();
  ASSERT_TRUE(page.RunUntil([&] { return wait.done(); }, from_ms(5000)));
  EXPECT_EQ(wait.result(), WaitResult::WaitTimeOut);
  EXPECT_GE(page.state->now, from_ms(500));
  EXPECT_LT(page.state->now, from_ms(600));
}

}  // namespace
}  // namespace ql::web::test
