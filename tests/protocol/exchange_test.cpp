#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/virtual_event_loop.h"
#include "protocol/exchange.h"

namespace ql {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Records every report written and how often the report length was asked.
class FakeDevice final : public ReportDevice {
 public:
  std::uint16_t OutputReportByteLength() override {
    ++length_reads;
    return output_length;
  }
  bool SendReport(std::span<const std::uint8_t> report) override {
    reports.emplace_back(report.begin(), report.end());
    return !fail_writes;
  }
  std::vector<Bytes> reports;
  int length_reads = 0;
  std::uint16_t output_length = 65;
  bool fail_writes = false;
};

// Forwards to a virtual loop and counts how often the wait asked for events,
// so that a busy poll shows up.
class CountingLoop final : public EventLoop {
 public:
  Micros now() const override { return inner.now(); }
  void process_events(Micros deadline) override {
    ++passes;
    inner.process_events(deadline);
  }
  bool process_ready() override { return inner.process_ready(); }
  TimerId schedule_at(Micros at, std::function<void()> fn) override { return inner.schedule_at(at, std::move(fn)); }
  void cancel(TimerId id) override { inner.cancel(id); }
  void post(std::function<void()> fn) override { inner.post(std::move(fn)); }
  void sleep(Micros d) override { inner.sleep(d); }
  VirtualEventLoop inner;
  int passes = 0;
};

class ExchangeTest : public ::testing::Test {
 protected:
  // Delivers one 64-byte input report starting with `head` at `at_ms`.
  void AnswerAt(std::int64_t at_ms, Bytes head) {
    head.resize(kReportDataSize, 0);
    loop.schedule_at(from_ms(at_ms), [this, head] { ex.ShowRead(head); });
  }
  void Receive(Bytes head) {
    head.resize(kReportDataSize, 0);
    ex.ShowRead(head);
  }
  Bytes Data(std::size_t report) const {
    const Bytes& r = device.reports.at(report);
    return Bytes(r.begin() + 1, r.end());
  }

  VirtualEventLoop loop;
  Exchange ex{loop};
  FakeDevice device;
};

// ---- Packets and output reports ---------------------------------------------

TEST_F(ExchangeTest, AddressedCommandsGoOutLittleEndianInOneReport) {
  ex.CurrentDevice = &device;
  ex.SendAddressedCommand(CMD_ERASE, 0x1FC0, 127);
  ex.SendAddressedCommand(CMD_WRITE, 0, 0x7BC0);
  ASSERT_EQ(device.reports.size(), 2u);
  for (const Bytes& r : device.reports) {
    ASSERT_EQ(r.size(), kReportSize);
    EXPECT_EQ(r[0], 0) << "report ID";
  }
  const Bytes erase = Data(0), write = Data(1);
  EXPECT_EQ(Bytes(erase.begin(), erase.begin() + 8), (Bytes{0x0F, 0x15, 0xC0, 0x1F, 0x00, 0x00, 0x7F, 0x00}));
  EXPECT_EQ(Bytes(write.begin(), write.begin() + 8), (Bytes{0x0F, 0x0B, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x7B}));
}

TEST_F(ExchangeTest, PacketIsCutInto64ByteReportsAskingTheLengthEachTime) {
  ex.CurrentDevice = &device;
  ex.TransferBuffer.resize(1024);
  for (std::size_t i = 0; i < 100; ++i) ex.TransferBuffer[i] = static_cast<std::uint8_t>(i + 1);
  device.fail_writes = true;  // a failed write must not stop the packet
  ex.SendPacket(100);
  ASSERT_EQ(device.reports.size(), 2u);
  EXPECT_EQ(device.length_reads, 2);
  Bytes first = Data(0), second = Data(1);
  EXPECT_EQ(first, Bytes(ex.TransferBuffer.begin(), ex.TransferBuffer.begin() + 64));
  EXPECT_EQ(Bytes(second.begin(), second.begin() + 36), Bytes(ex.TransferBuffer.begin() + 64, ex.TransferBuffer.begin() + 100));

  device.reports.clear();
  ex.SendPacket(1024);
  EXPECT_EQ(device.reports.size(), 16u) << "a 1024-byte data block is 16 reports";
  device.reports.clear();
  ex.TransferBuffer.resize(64);
  ex.SendPacket(1000);
  EXPECT_EQ(device.reports.size(), 1u) << "never more than the buffer holds";
}

TEST_F(ExchangeTest, SendingWithoutDeviceClearsTheAnswerAndResetNotifiesFirst) {
  Receive({0x0F, 0x03});
  ex.SendPlainCommand(CMD_HANDSHAKE_1);
  EXPECT_EQ(ex.ReceiveCount, 0);
  EXPECT_FALSE(ex.DataReceived);

  ex.CurrentDevice = &device;
  std::size_t reports_at_notice = 99;
  ex.OnResetSent = [&] { reports_at_notice = device.reports.size(); };
  ex.SendPlainCommand(CMD_RESET);
  EXPECT_EQ(reports_at_notice, 0u);
  ASSERT_EQ(device.reports.size(), 1u);
  EXPECT_EQ(device.reports[0][1], 0x0F);
  EXPECT_EQ(device.reports[0][2], CMD_RESET);

  reports_at_notice = 99;
  ex.SendPlainCommand(CMD_HANDSHAKE_2);
  EXPECT_EQ(reports_at_notice, 99u) << "only the reset command notifies";
}

// ---- Receiving and acknowledgements -----------------------------------------

TEST_F(ExchangeTest, OnlyTheFirstReportAfterASendIsChecked) {
  ex.TransferBuffer.resize(1024);
  Receive({0x0F, 0x15});
  Receive({0x0F, 0x0B});  // appended behind the first, from index 64
  EXPECT_EQ(ex.ReceiveCount, 128);
  EXPECT_EQ(ex.TransferBuffer[64], 0x0F);
  EXPECT_EQ(ex.TransferBuffer[65], 0x0B);
  EXPECT_FALSE(ex.CheckResponse(CMD_WRITE)) << "the unrelated 0F 15 is seen and consumed";
  EXPECT_FALSE(ex.CheckResponse(CMD_WRITE)) << "consumed: nothing left to check";
  Receive({0x0F, 0x0B});
  EXPECT_FALSE(ex.CheckResponse(CMD_WRITE)) << "later reports never displace the first";
  ex.SendPacket(0);
  Receive({0x0E, 0x03});
  EXPECT_FALSE(ex.CheckResponse(CMD_HANDSHAKE_1)) << "start mark required";
  ex.SendPacket(0);
  Receive({0x0F, 0x04});
  EXPECT_FALSE(ex.CheckResponse(CMD_RESET)) << "nothing is awaited after a reset";

  // The buffer still holds the erase command just sent: a short report must
  // not turn that into its acknowledgement.
  ex.SendAddressedCommand(CMD_ERASE, 0, 1);
  const std::uint8_t mark = 0x0F;
  ex.ShowRead(&mark, 0);
  EXPECT_FALSE(ex.DataReceived);
  ex.ShowRead(&mark, 1);
  EXPECT_FALSE(ex.CheckResponse(CMD_ERASE));
}

TEST_F(ExchangeTest, ReportsNeverWriteOutsideTheBuffer) {
  // 64-byte buffer: the second report has no room and is dropped.
  Receive({0x0F, 0x01});
  Receive({0x0F, 0x15});
  EXPECT_EQ(ex.TransferBuffer.size(), 64u);
  // A flood of reports (more than 65535 bytes) must not bring the append
  // position back to the start.
  ex.TransferBuffer.resize(1024);
  for (int i = 0; i < 1100; ++i) Receive({0x0F, 0x15});
  EXPECT_EQ(ex.TransferBuffer[1], 0x01);
  EXPECT_TRUE(ex.CheckResponse(CMD_HANDSHAKE_2));
  // An oversized report fills only the room left.
  ex.SendPacket(0);
  Bytes big(2000, 0x5A);
  ex.ShowRead(big);
  EXPECT_EQ(ex.TransferBuffer.size(), 1024u);
  EXPECT_EQ(ex.TransferBuffer[1023], 0x5A);
  EXPECT_EQ(ex.ReceiveCount, 2000);
}

// ---- Boot-info record ---------------------------------------------------------

TEST_F(ExchangeTest, BootInfoRecordsFromTheDevice) {
  ex.BootInfo.InfoWord5 = 0x1234;
  ex.BootInfo.BootDeviceName = "OLD";
  Receive({0x0D, 0x01, 0x02, 0x03, 0x40, 0x00, 0x04, 0x40, 0x00, 0x06, 0x00, 0x7C, 0x00, 0x00});
  ASSERT_TRUE(ex.CheckResponse(CMD_BOOT_INFO));
  EXPECT_EQ(ex.BootInfo.McuType, 2);
  EXPECT_EQ(ex.BootInfo.EraseBlockSize, 64);
  EXPECT_EQ(ex.BootInfo.WriteBlockSize, 64);
  EXPECT_EQ(ex.BootInfo.BootStart, 0x7C00u);
  EXPECT_EQ(ex.BootInfo.InfoWord5, 0x1234) << "fields the record lacks keep their values";
  EXPECT_EQ(ex.BootInfo.BootDeviceName, "OLD");
  EXPECT_FALSE(ex.CheckResponse(CMD_BOOT_INFO)) << "one record per report";

  // Name, an unknown code 2 stepped over, then McuType.
  ex.SendPacket(0);
  Receive({0x08, 0x07, 0x41, 0x42, 0x43, 0x00, 0x02, 0x01, 0x01});
  ASSERT_TRUE(ex.ParseBootInfo());
  EXPECT_EQ(ex.BootInfo.BootDeviceName, "ABC");
  EXPECT_EQ(ex.BootInfo.McuType, 1);

  // Code 9 skipped alone; a repeated code: the later value stands; InfoWord5.
  ex.SendPacket(0);
  Receive({0x0A, 0x09, 0x03, 0x00, 0x04, 0x05, 0x34, 0x12, 0x03, 0x00, 0x02});
  ASSERT_TRUE(ex.ParseBootInfo());
  EXPECT_EQ(ex.BootInfo.EraseBlockSize, 0x0200);
  EXPECT_EQ(ex.BootInfo.InfoWord5, 0x1234);

  // Length 0: accepted, nothing changes.
  TBootInfo before = ex.BootInfo;
  ex.SendPacket(0);
  Receive({0x00, 0x01, 0x07});
  EXPECT_TRUE(ex.ParseBootInfo());
  EXPECT_EQ(ex.BootInfo, before);

  // L = 2 covers the code 6 and one byte of its value; all four are read.
  ex.SendPacket(0);
  Receive({0x02, 0x06, 0x00, 0x3C, 0x00, 0x00});
  ASSERT_TRUE(ex.ParseBootInfo());
  EXPECT_EQ(ex.BootInfo.BootStart, 0x3C00u);
}

// A bootloader still inside a write command takes the request as data and
// acknowledges it: that answer is no record and must not change TBootInfo.
TEST_F(ExchangeTest, WriteAndEraseAcknowledgementsAreNoBootInfoRecord) {
  ex.CurrentDevice = &device;
  ex.BootInfo = {0, 0x7C00, 2, 64, 32, "PIC18F4550"};
  const TBootInfo before = ex.BootInfo;
  for (const std::uint8_t code : {CMD_WRITE, CMD_ERASE}) {
    ex.SendPlainCommand(CMD_BOOT_INFO);
    AnswerAt(2, {START_MARK, code});
    EXPECT_EQ(ex.WaitForResponse(CMD_BOOT_INFO, 1000), WaitResult::WaitTimeOut) << int{code};
    EXPECT_EQ(ex.BootInfo, before);
  }
  // A record of length 15 is still a record.
  ex.SendPlainCommand(CMD_BOOT_INFO);
  AnswerAt(2, {0x0F, 0x01, 0x01, 0x03, 0x40, 0x00, 0x04, 0x40, 0x00, 0x06, 0x00, 0x3C, 0x00, 0x00, 0x07, 0x00});
  EXPECT_EQ(ex.WaitForResponse(CMD_BOOT_INFO, 1000), WaitResult::WaitOk);
  EXPECT_EQ(ex.BootInfo.McuType, 1);
  EXPECT_EQ(ex.BootInfo.BootStart, 0x3C00u);
}

TEST_F(ExchangeTest, BootInfoNeverReadsPastTheBuffer) {
  // A name without a zero byte ends at the buffer's end.
  Bytes record(64, 'Z');
  record[0] = 0xFF;
  record[1] = 0x07;
  Receive(record);
  ASSERT_TRUE(ex.ParseBootInfo());
  EXPECT_EQ(ex.BootInfo.BootDeviceName, std::string(62, 'Z'));

  // A value whose bytes reach past the buffer reads 0 for the missing bytes.
  ex.SendPacket(0);
  record.assign(64, 0);
  record[0] = 0xFF;
  for (std::size_t i = 1; i < 62; ++i) record[i] = 0x08;  // unknown code, skipped
  record[62] = 0x06;
  record[63] = 0xAB;
  Receive(record);
  ASSERT_TRUE(ex.ParseBootInfo());
  EXPECT_EQ(ex.BootInfo.BootStart, 0xABu);
}

TEST_F(ExchangeTest, BufferTakesTheEraseBlockSizeButNeverLessThanOneReport) {
  ex.TransferBuffer[63] = 0x63;
  ex.BootInfo.EraseBlockSize = 1024;
  ex.ApplyBlockSize();
  ASSERT_EQ(ex.TransferBuffer.size(), 1024u);
  EXPECT_EQ(ex.TransferBuffer[63], 0x63) << "kept";
  EXPECT_EQ(ex.TransferBuffer[64], 0) << "added bytes are zero";
  for (std::uint16_t e : {64, 0, 8, 32}) {
    ex.BootInfo.EraseBlockSize = e;
    ex.ApplyBlockSize();
    EXPECT_EQ(ex.TransferBuffer.size(), 64u) << e;
  }
}

TEST(BootInfoUsable, RefusesValuesTheUploadCannotWorkWith) {
  const TBootInfo good{0, 0x7C00, 2, 64, 32, "PIC18F4550"};
  std::string why = "untouched";
  EXPECT_TRUE(BootInfoUsable(good, &why));
  EXPECT_EQ(why, "untouched");
  TBootInfo low = good;
  low.BootStart = 128;  // one block for the program and the final block are enough
  EXPECT_TRUE(BootInfoUsable(low, nullptr));

  const std::string head = "Error: Device reports ", tail = "; cannot upload.";
  const struct {
    std::uint16_t erase, write;
    std::uint32_t boot_start;
    std::string line;
  } refused[] = {
      {0, 32, 0x7C00, "an erase block size of 0"},
      {64, 0, 0x7C00, "a write block size of 0"},
      {32, 32, 0x7C00, "an erase block size of 32 bytes, below the 64 bytes of one report"},
      {64, 32, 0x20, "a bootloader start address of 0x20, below its erase block size"},
      {64, 32, 0x7C10, "a bootloader start address of 0x7C10, not on an erase block boundary"},
      {64, 32, 0x40,
       "a bootloader start address of 0x40, which leaves no room for the program below the bootloader"},
      {1024, 64, 0x400,
       "a bootloader start address of 0x400, which leaves no room for the program below the bootloader"},
  };
  for (const auto& r : refused) {
    TBootInfo b = good;
    b.EraseBlockSize = r.erase;
    b.WriteBlockSize = r.write;
    b.BootStart = r.boot_start;
    EXPECT_FALSE(BootInfoUsable(b, &why));
    EXPECT_EQ(why, head + r.line + tail);
  }
}

TEST(OutputReportUsable, NeedsOneReportIdAnd64DataBytes) {
  std::string why = "untouched";
  EXPECT_TRUE(OutputReportUsable(65, &why));
  EXPECT_TRUE(OutputReportUsable(129, &why));
  EXPECT_EQ(why, "untouched");
  EXPECT_FALSE(OutputReportUsable(64, &why));
  EXPECT_EQ(why, "Error: Device declares output reports of 64 bytes; the protocol needs 64 data bytes per report.");
  EXPECT_FALSE(OutputReportUsable(0, nullptr));
}

// ---- Waiting ------------------------------------------------------------------

TEST_F(ExchangeTest, WaitOutcomesInTheirFixedOrder) {
  ex.CurrentDevice = &device;
  // The answer delivered during the first event pass is found in the second.
  loop.post([&] { Receive({0x0F, 0x01}); });
  EXPECT_EQ(ex.WaitForResponse(CMD_HANDSHAKE_2, 500), WaitResult::WaitOk);
  EXPECT_EQ(loop.now(), 0);
  ex.SendPacket(0);
  AnswerAt(7, {0x0F, 0x0B});
  EXPECT_EQ(ex.WaitForResponse(CMD_WRITE, 500), WaitResult::WaitOk);
  EXPECT_EQ(loop.now(), from_ms(7));
  EXPECT_FALSE(loop.in_wait());

  // An unrelated acknowledgement is consumed; the wait runs to its deadline.
  ex.SendPacket(0);
  AnswerAt(10, {0x0F, 0x15});
  EXPECT_EQ(ex.WaitForResponse(CMD_WRITE, 30), WaitResult::WaitTimeOut);
  EXPECT_EQ(loop.now(), from_ms(37));

  // An answer arriving exactly at the deadline is heard: the time-out is
  // the last thing a wait hears. One a millisecond later is not.
  ex.SendPacket(0);
  AnswerAt(37 + 500, {0x0F, 0x03});
  EXPECT_EQ(ex.WaitForResponse(CMD_HANDSHAKE_1, 500), WaitResult::WaitOk);
  ex.SendPacket(0);
  AnswerAt(537 + 501, {0x0F, 0x03});
  EXPECT_EQ(ex.WaitForResponse(CMD_HANDSHAKE_1, 500), WaitResult::WaitTimeOut);
  EXPECT_EQ(loop.now(), from_ms(1037));
  loop.advance(from_ms(1));  // the late answer, consumed by nobody

  // A removal at the deadline wins over the time-out.
  ex.SendPacket(0);
  const Micros start = loop.now();
  loop.schedule_at(start + from_ms(500), [&] { ex.CurrentDevice = nullptr; });
  EXPECT_EQ(ex.WaitForResponse(CMD_HANDSHAKE_1, 500), WaitResult::WaitNoDevice);
  EXPECT_EQ(loop.now(), start + from_ms(500));
  EXPECT_EQ(ex.WaitForResponse(CMD_HANDSHAKE_1, 500), WaitResult::WaitNoDevice);
  EXPECT_EQ(loop.now(), start + from_ms(500)) << "no device from the start: no time passes";
}

TEST(ExchangeWait, DoesNotPollWhileNothingHappens) {
  CountingLoop loop;
  Exchange ex(loop);
  FakeDevice device;
  ex.CurrentDevice = &device;
  EXPECT_EQ(ex.WaitForResponse(CMD_ERASE, 3000), WaitResult::WaitTimeOut);
  EXPECT_LE(loop.passes, 2);
}

TEST_F(ExchangeTest, NestedWaitKeepsTheOuterDeadline) {
  ex.CurrentDevice = &device;
  WaitResult inner = WaitResult::WaitOk;
  int depth_inside = 0;
  // At 100 ms something handled inside the outer wait waits for itself.
  loop.schedule_at(from_ms(100), [&] {
    AnswerAt(150, {0x0F, 0x03});
    depth_inside = loop.wait_depth();
    inner = ex.WaitForResponse(CMD_HANDSHAKE_1, 1000);
  });
  EXPECT_EQ(ex.WaitForResponse(CMD_WRITE, 500), WaitResult::WaitTimeOut);
  EXPECT_EQ(inner, WaitResult::WaitOk);
  EXPECT_EQ(depth_inside, 1);
  EXPECT_EQ(loop.now(), from_ms(500)) << "the outer wait neither lost nor shortened its time-out";

  // And an inner time-out of 50 ms does not end the outer wait early.
  ex.SendPacket(0);
  const Micros start = loop.now();
  loop.schedule_at(start + from_ms(10), [&] { inner = ex.WaitForResponse(CMD_HANDSHAKE_1, 50); });
  AnswerAt(300 + 500, {0x0F, 0x0B});
  EXPECT_EQ(ex.WaitForResponse(CMD_WRITE, 500), WaitResult::WaitOk);
  EXPECT_EQ(inner, WaitResult::WaitTimeOut);
  EXPECT_EQ(loop.now(), start + from_ms(300));
}

TEST_F(ExchangeTest, CancelStopsRunningWaitsOnly) {
  ex.CurrentDevice = &device;
  WaitResult inner = WaitResult::WaitOk;
  loop.schedule_at(from_ms(20), [&] {
    loop.schedule_at(from_ms(50), [&] { ex.CancelWaits(); });
    inner = ex.WaitForResponse(CMD_HANDSHAKE_1, 1000);
  });
  EXPECT_EQ(ex.WaitForResponse(CMD_WRITE, 500), WaitResult::WaitStopped);
  EXPECT_EQ(inner, WaitResult::WaitStopped);
  EXPECT_EQ(loop.now(), from_ms(50));

  // A wait started after the request is not affected.
  AnswerAt(60, {0x0F, 0x0B});
  EXPECT_EQ(ex.WaitForResponse(CMD_WRITE, 500), WaitResult::WaitOk);
}

TEST_F(ExchangeTest, WaitForDeviceSleepsAtMostTenMilliseconds) {
  ex.CurrentDevice = &device;
  EXPECT_TRUE(ex.WaitForDevice());
  EXPECT_EQ(loop.now(), 0);
  ex.CurrentDevice = nullptr;
  bool handled = false;
  loop.post([&] { handled = true; });
  EXPECT_FALSE(ex.WaitForDevice());
  EXPECT_EQ(loop.now(), from_ms(10));
  EXPECT_FALSE(handled) << "no events are processed meanwhile";
}

TEST(ReportWaitError, HistoryLines) {
  EXPECT_EQ(ReportWaitError(WaitResult::WaitNoDevice, "PIC18F4550"), "Error: Device PIC18F4550 removed.");
  EXPECT_EQ(ReportWaitError(WaitResult::WaitTimeOut, "x"), "Error: Timeout waiting for MCU.");
  EXPECT_EQ(ReportWaitError(WaitResult::WaitOk, "x"), "");
  EXPECT_EQ(ReportWaitError(WaitResult::WaitStopped, "x"), "");
  EXPECT_EQ(HexBytes(Bytes{0x0F, 0x15, 0xC0, 0x1F, 0x00}), "0F 15 C0 1F 00");
  EXPECT_EQ(HexBytes(Bytes{}), "");
}

}  // namespace
}  // namespace ql
