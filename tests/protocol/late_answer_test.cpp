// A wait on a loop that runs late: the process stopped or starved while the
// device answered. The answer that has already come (handed over, in the
// reader's hands, or still in the platform's queue) wins over the time-out,
// in both kinds of wait; the time-out runs from the moment the packet has
// gone out; a device that stops taking reports ends the wait at once.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "core/task.h"
#include "core/virtual_event_loop.h"
#include "protocol/exchange.h"

namespace ql {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A device whose input may be on its way (received, not yet handed over)
// and whose writes may be in progress or stalled.
class SlowDevice final : public ReportDevice {
 public:
  std::uint16_t OutputReportByteLength() override { return 65; }
  bool SendReport(std::span<const std::uint8_t>) override { return true; }
  bool InputPending() override { return input_pending; }
  bool WritesPending() override { return writes_pending; }
  bool WriteStalled() override { return write_stalled; }
  void SetWriteStateHandler(std::function<void()> handler) override { on_state = std::move(handler); }

  void SetWrites(bool pending, bool stalled = false) {
    writes_pending = pending;
    write_stalled = stalled;
    if (on_state) on_state();
  }

  bool input_pending = false;
  bool writes_pending = false;
  bool write_stalled = false;
  std::function<void()> on_state;
};

Task<WaitResult> Parked(Exchange& ex, std::uint8_t code, std::int64_t timeout_ms) {
  const WaitResult r = co_await ex.Response(code, timeout_ms);
  co_return r;
}

// Both kinds of wait: the window's (events processed nested in the wait)
// and the production line's (the coroutine parked on the loop).
class LateAnswer : public ::testing::TestWithParam<bool> {
 protected:
  LateAnswer() {
    ex.SetBlockingWaits(GetParam());
    ex.SetCurrentDevice(&device);
  }
  WaitResult Wait(std::uint8_t code, std::int64_t timeout_ms) {
    if (ex.BlockingWaits()) return ex.WaitForResponse(code, timeout_ms);
    Task<WaitResult> task = Parked(ex, code, timeout_ms);
    while (!task.done()) loop.process_events(loop.now() + from_ms(10000));
    return task.result();
  }
  // The device's answer reaches the event thread at `at_ms`.
  void DeliverAt(std::int64_t at_ms, Bytes head) {
    head.resize(kReportDataSize, 0);
    loop.schedule_at(from_ms(at_ms), [this, head] {
      device.input_pending = false;
      ex.ShowRead(head);
    });
  }

  VirtualEventLoop loop;
  Exchange ex{loop};
  SlowDevice device;
};

TEST_P(LateAnswer, LoopHeldPastTheDeadlineWithTheAnswerDelivered) {
  ex.SendPacket(0);
  // At 100 ms the answer is handed to the loop, and then the process stops
  // for two seconds: when it runs again the deadline is long past.
  loop.schedule_at(from_ms(100), [this] {
    loop.post([this] { ex.ShowRead(Bytes{0x0F, 0x0B}); });
    loop.Hold(from_ms(2000));
  });
  EXPECT_EQ(Wait(CMD_WRITE, 500), WaitResult::WaitOk);
  EXPECT_EQ(loop.now(), from_ms(2100));

  // Held over several deadlines in a row, each answer already sent by the
  // device (due on the loop while it was held).
  for (int i = 0; i < 3; ++i) {
    ex.SendPacket(0);
    const Micros start = loop.now();
    DeliverAt((start + from_ms(5)) / 1000, {0x0F, 0x0B});
    loop.schedule_at(start + from_ms(1), [this] { loop.Hold(from_ms(1500)); });
    EXPECT_EQ(Wait(CMD_WRITE, 500), WaitResult::WaitOk) << "wait " << i;
  }
}

TEST_P(LateAnswer, AnswerInTheReadersHandsAtTheDeadlineIsTaken) {
  // Received at 499 ms; the reader hands it over 5 ms later, after the
  // deadline.
  ex.SendPacket(0);
  loop.schedule_at(from_ms(499), [this] { device.input_pending = true; });
  DeliverAt(504, {0x0F, 0x15});
  EXPECT_EQ(Wait(CMD_ERASE, 500), WaitResult::WaitOk);
  EXPECT_EQ(loop.now(), from_ms(504));
  EXPECT_FALSE(loop.in_wait());
}

TEST_P(LateAnswer, TheGraceIsBounded) {
  // A device that always has a report on its way that never comes (or
  // floods unrelated ones) cannot keep a wait alive.
  ex.SendPacket(0);
  device.input_pending = true;
  EXPECT_EQ(Wait(CMD_WRITE, 500), WaitResult::WaitTimeOut);
  EXPECT_GE(loop.now(), from_ms(500));
  EXPECT_LE(loop.now(), from_ms(500 + 250));

  // Nothing on its way: the time-out comes at the deadline.
  device.input_pending = false;
  ex.SendPacket(0);
  const Micros start = loop.now();
  EXPECT_EQ(Wait(CMD_WRITE, 500), WaitResult::WaitTimeOut);
  EXPECT_EQ(loop.now(), start + from_ms(500));
}

TEST_P(LateAnswer, TheTimeOutRunsFromThePacketsDeparture) {
  // The device takes the packet only at 300 ms (a slow write); its answer
  // comes 400 ms after that, within the 500 ms it is given.
  ex.SendPacket(0);
  device.writes_pending = true;
  loop.schedule_at(from_ms(300), [this] { device.SetWrites(false); });
  DeliverAt(700, {0x0F, 0x0B});
  EXPECT_EQ(Wait(CMD_WRITE, 500), WaitResult::WaitOk);
  EXPECT_EQ(loop.now(), from_ms(700));

  // Silence after the packet went out at 1000 ms: the time-out at 1500 ms.
  ex.SendPacket(0);
  device.writes_pending = true;
  loop.schedule_at(from_ms(1000), [this] { device.SetWrites(false); });
  EXPECT_EQ(Wait(CMD_WRITE, 500), WaitResult::WaitTimeOut);
  EXPECT_EQ(loop.now(), from_ms(1500));
}

TEST_P(LateAnswer, AStalledWriteEndsTheWaitAtOnce) {
  ex.SendPacket(0);
  device.writes_pending = true;
  loop.schedule_at(from_ms(1000), [this] { device.SetWrites(true, /*stalled=*/true); });
  EXPECT_EQ(Wait(CMD_WRITE, 500), WaitResult::WaitWriteStalled);
  EXPECT_EQ(loop.now(), from_ms(1000));
  EXPECT_EQ(ReportWaitError(WaitResult::WaitWriteStalled, "PIC18F4550"),
            "Error: Device PIC18F4550 stopped taking reports.");
  EXPECT_EQ(ReportWaitError(WaitResult::WaitWriteStalled, ""), "Error: Device stopped taking reports.");
}

INSTANTIATE_TEST_SUITE_P(Waits, LateAnswer, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Blocking" : "Parked"; });

}  // namespace
}  // namespace ql
