#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/virtual_event_loop.h"
#include "protocol/exchange.h"
#include "sim/simulated_bootloader.h"

namespace ql::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Plain(std::uint8_t code) { return {0x0F, code}; }
Bytes Addressed(std::uint8_t code, std::uint32_t address, std::uint16_t count) {
  return {0x0F, code, static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
          static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24),
          static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8)};
}

Config PresetOrDie(const char* name) {
  auto c = Preset(name);
  EXPECT_TRUE(c.has_value());
  return c.value_or(Config{});
}

// Sends `data` as 64-byte reports at time `now`; returns every output.
std::vector<Output> SendAll(SimulatedBootloader& dev, const Bytes& data, Micros now = 0) {
  std::vector<Output> all;
  for (std::size_t pos = 0; pos < data.size(); pos += 64) {
    Bytes report(data.begin() + static_cast<std::ptrdiff_t>(pos),
                 data.begin() + static_cast<std::ptrdiff_t>(std::min(pos + 64, data.size())));
    for (Output& o : dev.Receive(report, now)) all.push_back(std::move(o));
  }
  return all;
}

// CMD_WRITE in its own report, then `count` bytes of `fill`.
Bytes WriteOf(std::uint32_t address, std::uint16_t count, std::uint8_t fill) {
  Bytes b = Addressed(CMD_WRITE, address, count);
  b.resize(64, 0);
  b.resize(64 + count, fill);
  return b;
}

bool IsAck(const Output& o, std::uint8_t code) {
  return o.kind == Output::Kind::Report && o.data.size() == 64 && o.data[0] == 0x0F && o.data[1] == code;
}

TEST(SimPresets, BootInfoRecordAndFreshFlash) {
  SimulatedBootloader dev(PresetOrDie("pic18"));
  // Worked by hand: L = 25, McuType 2, E 64, W 32, BootStart 0x7C00, the name and its zero.
  Bytes expected{25, 1, 2, 3, 0x40, 0x00, 4, 0x20, 0x00, 6, 0x00, 0x7C, 0x00, 0x00, 7,
                 'P', 'I', 'C', '1', '8', 'F', '4', '5', '5', '0', 0};
  expected.resize(64, 0);
  auto out = dev.Receive(Plain(CMD_BOOT_INFO), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].data, expected);
  EXPECT_EQ(out[0].at, from_ms(2)) << "one frame in, one frame out";

  ASSERT_EQ(dev.flash().size(), 0x8000u);
  EXPECT_EQ(dev.flash()[0x7BFF], 0xFF);
  EXPECT_EQ(Bytes(dev.flash().begin() + 0x7C00, dev.flash().begin() + 0x7C08), (Bytes{'B', 'O', 'O', 'T', 'B', 'O', 'O', 'T'}));

  // PIC16: erased words read 0x3FFF; the same record read back by the host's parser.
  VirtualEventLoop loop;
  Exchange ex(loop);
  SimulatedBootloader pic16(PresetOrDie("pic16"));
  EXPECT_EQ(Bytes(pic16.flash().begin(), pic16.flash().begin() + 4), (Bytes{0xFF, 0x3F, 0xFF, 0x3F}));
  ex.ShowRead(pic16.Receive(Plain(CMD_BOOT_INFO), 0).at(0).data);
  ASSERT_TRUE(ex.ParseBootInfo());
  EXPECT_EQ(ex.BootInfo, PresetOrDie("pic16").info);

  // Handshakes are acknowledged; packets the bootloader does not know are not.
  auto a = dev.Receive(Plain(CMD_HANDSHAKE_1), from_ms(10));
  ASSERT_EQ(a.size(), 1u);
  EXPECT_TRUE(IsAck(a[0], CMD_HANDSHAKE_1));
  EXPECT_EQ(a[0].at, from_ms(12));
  EXPECT_TRUE(IsAck(dev.Receive(Plain(CMD_HANDSHAKE_2), 0).at(0), CMD_HANDSHAKE_2));
  EXPECT_TRUE(dev.Receive(Bytes{0x0E, 0x03}, from_ms(20)).empty());
  EXPECT_TRUE(dev.Receive(Plain(0x09), from_ms(20)).empty());
  EXPECT_EQ(dev.ignored_reports(), 2);
  EXPECT_EQ(dev.commands().size(), 3u);
}

TEST(SimModel, EraseClearsTheNamedBlockAndThoseBelowIt) {
  SimulatedBootloader dev(PresetOrDie("pic18"));
  // Program 0x400 bytes of zeros (16 data blocks of 64), one ack per block.
  auto acks = SendAll(dev, WriteOf(0, 0x400, 0x00));
  EXPECT_EQ(acks.size(), 16u);
  for (const Output& o : acks) EXPECT_TRUE(IsAck(o, CMD_WRITE));

  // Named block 5, count 3: blocks 3, 4, 5.
  const Micros t = from_ms(100);
  auto out = dev.Receive(Addressed(CMD_ERASE, 5 * 64, 3), t);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(IsAck(out[0], CMD_ERASE));
  EXPECT_EQ(out[0].at, t + from_ms(1) + 3 * from_ms(2) + from_ms(1)) << "frame, 3 block erases, frame";
  for (std::uint32_t a = 0; a < 0x400; ++a) {
    const bool erased = a >= 3 * 64 && a < 6 * 64;
    ASSERT_EQ(dev.flash()[a], erased ? 0xFF : 0x00) << a;
  }
  // The erase is not refused; the zeros went onto flash never erased here.
  for (const CommandRecord& r : dev.refused()) EXPECT_TRUE(r.unerased);
}

// A data block that lands anywhere this device has not erased since it came
// up is recorded with the refused commands, and programmed as flash would
// be, so that older bytes show through.
TEST(SimModel, RecordsEveryDataBlockWrittenOverUnerasedFlash) {
  SimulatedBootloader dev(PresetOrDie("pic18"));
  dev.Receive(Addressed(CMD_ERASE, 64, 2), 0);  // blocks 0 and 1
  SendAll(dev, WriteOf(0, 128, 0x5A));
  EXPECT_TRUE(dev.refused().empty());

  // Block 2 was never erased; block 1 was. One record per data block that
  // touches unerased bytes, with the block's own address and length.
  SendAll(dev, WriteOf(64, 192, 0xA5));
  ASSERT_EQ(dev.refused().size(), 2u);
  EXPECT_TRUE(dev.refused()[0].unerased);
  EXPECT_EQ(dev.refused()[0].code, CMD_WRITE);
  EXPECT_EQ(dev.refused()[0].address, 128u);
  EXPECT_EQ(dev.refused()[0].count, 64);
  EXPECT_EQ(dev.refused()[1].address, 192u);
  EXPECT_FALSE(dev.refused()[0].refused) << "carried out";
  EXPECT_EQ(dev.flash()[128], 0xA5);
  EXPECT_EQ(dev.flash()[64], 0x5A & 0xA5) << "rewritten without an erase: the old bits show";

  // Part of a block is enough: a write starting in erased flash and running
  // past it is recorded too.
  SimulatedBootloader pic18j(PresetOrDie("pic18j"));
  pic18j.Receive(Addressed(CMD_ERASE, 0, 1), 0);
  SendAll(pic18j, WriteOf(0x200, 1024, 0x00));
  ASSERT_EQ(pic18j.refused().size(), 1u);
  EXPECT_EQ(pic18j.refused()[0].address, 0x200u);
}

TEST(SimPresets, AreConsistentAndOverridesThatContradictTheFlashAreNamed) {
  for (const std::string& name : PresetNames()) EXPECT_EQ(ConfigConflict(PresetOrDie(name.c_str())), "") << name;
  Config c = PresetOrDie("pic18");
  c.info.BootStart = 0x8000;  // no bootloader area left
  EXPECT_EQ(ConfigConflict(c), "bootloader start 0x8000 is not inside the flash of the pic18 preset, which ends at 0x8000");
  c = PresetOrDie("pic18j");
  c.info.EraseBlockSize = 3000;
  EXPECT_EQ(ConfigConflict(c), "erase block size 3000 does not divide the 0x10000 bytes of flash of the pic18j preset");
  // Values a faulty device may report are for the host to refuse.
  c = PresetOrDie("pic18");
  c.info.EraseBlockSize = 0;
  c.info.BootStart = 0x7C10;
  EXPECT_EQ(ConfigConflict(c), "");
}

TEST(SimModel, WriteCollectsReportsIntoEraseBlocksWithOneAckEach) {
  SimulatedBootloader dev(PresetOrDie("pic18j"));
  const std::uint32_t count = 1024 + 100;
  Bytes payload(count);
  for (std::uint32_t i = 0; i < count; ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 1);

  EXPECT_TRUE(dev.Receive(Addressed(CMD_WRITE, 0x800, count), 0).empty()) << "no answer to CMD_WRITE itself";
  // The first data block is 16 reports: only the 16th is answered.
  for (int r = 0; r < 15; ++r)
    EXPECT_TRUE(dev.Receive(Bytes(payload.begin() + r * 64, payload.begin() + r * 64 + 64), 0).empty()) << r;
  auto first = dev.Receive(Bytes(payload.begin() + 15 * 64, payload.begin() + 1024), 0);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_TRUE(IsAck(first[0], CMD_WRITE));
  // 17 reports in (17 ms), 16 write blocks of 64 at 2.8 ms, one frame out.
  EXPECT_EQ(first[0].at, from_ms(17) + 16 * 2800 + from_ms(1));

  // The last 100 bytes: 64 + 36 (the rest of the second report is padding).
  EXPECT_TRUE(dev.Receive(Bytes(payload.begin() + 1024, payload.begin() + 1088), 0).empty());
  Bytes tail(payload.begin() + 1088, payload.end());
  tail.resize(64, 0xEE);
  auto second = dev.Receive(tail, 0);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(dev.data_blocks(), 2);
  EXPECT_EQ(Bytes(dev.flash().begin() + 0x800, dev.flash().begin() + 0x800 + count), payload);
  EXPECT_EQ(dev.flash()[0x800 + count], 0xFF) << "padding is not written";

  // The write is over: the next report is a command again.
  auto ack = dev.Receive(Plain(CMD_HANDSHAKE_1), 0);
  ASSERT_EQ(ack.size(), 1u);
  EXPECT_TRUE(IsAck(ack[0], CMD_HANDSHAKE_1));

  // Writing without erasing first can only clear bits.
  SendAll(dev, WriteOf(0, 64, 0xF0));
  SendAll(dev, WriteOf(0, 64, 0x3C));
  EXPECT_EQ(dev.flash()[0], 0x30);
}

TEST(SimModel, PIC16KeepsFourteenBitWords) {
  SimulatedBootloader dev(PresetOrDie("pic16"));
  Bytes data = WriteOf(0, 64, 0xFF);
  data[64] = 0x12;
  data[65] = 0xFF;
  SendAll(dev, data);
  EXPECT_EQ(Bytes(dev.flash().begin(), dev.flash().begin() + 4), (Bytes{0x12, 0x3F, 0xFF, 0x3F}));
  dev.Receive(Addressed(CMD_ERASE, 0, 1), 0);
  EXPECT_EQ(Bytes(dev.flash().begin(), dev.flash().begin() + 2), (Bytes{0xFF, 0x3F}));
  EXPECT_TRUE(dev.BootAreaIntact());
}

TEST(SimModel, RefusesEveryEraseOrWriteTouchingTheBootloaderArea) {
  SimulatedBootloader dev(PresetOrDie("pic18"));
  // The block just below the bootloader is fine; the two blocks ending at
  // 0x7C00's block are not; nor is a range running below address 0 or past the flash.
  auto ok = dev.Receive(Addressed(CMD_ERASE, 0x7BC0, 2), 0);
  auto into = dev.Receive(Addressed(CMD_ERASE, 0x7C00, 2), 0);
  auto below_zero = dev.Receive(Addressed(CMD_ERASE, 0x40, 3), 0);
  ASSERT_EQ(into.size(), 1u);
  EXPECT_TRUE(IsAck(into[0], CMD_ERASE)) << "acknowledged and ignored";
  EXPECT_EQ(ok.size(), 1u);
  EXPECT_EQ(below_zero.size(), 1u);

  // A write reaching one byte into the area: its data are taken and
  // acknowledged, nothing is written, and the device stays in step.
  auto acks = SendAll(dev, WriteOf(0x7BC0, 65, 0x00));
  EXPECT_EQ(acks.size(), 2u);
  EXPECT_EQ(dev.flash()[0x7BC0], 0xFF);
  auto after = dev.Receive(Plain(CMD_HANDSHAKE_2), 0);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_TRUE(IsAck(after[0], CMD_HANDSHAKE_2));

  ASSERT_EQ(dev.refused().size(), 3u);
  EXPECT_EQ(dev.refused()[0].code, CMD_ERASE);
  EXPECT_EQ(dev.refused()[0].address, 0x7C00u);
  EXPECT_EQ(dev.refused()[1].address, 0x40u);
  EXPECT_EQ(dev.refused()[2].code, CMD_WRITE);
  EXPECT_EQ(dev.refused()[2].count, 65);
  EXPECT_TRUE(dev.BootAreaIntact());
  EXPECT_FALSE(dev.commands()[0].refused);
  EXPECT_TRUE(dev.commands()[1].refused);
}

// ---- Faults ------------------------------------------------------------------

TEST(SimFaults, StepFaultsHitTheirPacketOnly) {
  // Steps: 1 CMD_ERASE, 2 CMD_WRITE, 3 first data block, 4 second data block.
  const Bytes write = WriteOf(0, 128, 0x00);

  Config c = PresetOrDie("pic18");
  c.fault = {FaultKind::NoAnswer, 3};
  SimulatedBootloader lost(c);
  EXPECT_EQ(lost.Receive(Addressed(CMD_ERASE, 0, 1), 0).size(), 1u);
  auto acks = SendAll(lost, write);
  ASSERT_EQ(acks.size(), 1u) << "the first block is dropped, the second answered";
  EXPECT_EQ(lost.flash()[0], 0xFF);
  EXPECT_EQ(lost.flash()[64], 0x00);

  c.fault = {FaultKind::WrongAnswer, 4};
  SimulatedBootloader wrong(c);
  wrong.Receive(Addressed(CMD_ERASE, 0, 1), 0);
  acks = SendAll(wrong, write);
  ASSERT_EQ(acks.size(), 2u);
  EXPECT_TRUE(IsAck(acks[0], CMD_WRITE));
  EXPECT_TRUE(IsAck(acks[1], CMD_ERASE));

  c.fault = {FaultKind::Unplug, 3};
  SimulatedBootloader gone(c);
  gone.Receive(Addressed(CMD_ERASE, 0, 1), 0);
  acks = SendAll(gone, write);
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].kind, Output::Kind::Unplug);
  EXPECT_FALSE(gone.present());
  EXPECT_EQ(gone.flash()[0], 0xFF) << "the block that unplugged was not written";

  c.fault = {FaultKind::Silent, 0};
  SimulatedBootloader silent(c);
  EXPECT_TRUE(silent.Receive(Plain(CMD_BOOT_INFO), 0).empty());
  EXPECT_TRUE(silent.Receive(Plain(CMD_HANDSHAKE_1), 0).empty());
  EXPECT_EQ(silent.commands().size(), 2u) << "a silent device still records";

  // Deaf at the second data block: it is taken but neither written nor
  // answered, and nothing after it is taken at all.
  c.fault = {FaultKind::Deaf, 4};
  SimulatedBootloader deaf(c);
  deaf.Receive(Addressed(CMD_ERASE, 0, 1), 0);
  acks = SendAll(deaf, write);
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_TRUE(IsAck(acks[0], CMD_WRITE));
  EXPECT_TRUE(deaf.deaf());
  EXPECT_TRUE(deaf.present());
  const std::size_t taken = deaf.commands().size();
  EXPECT_TRUE(deaf.Receive(Plain(CMD_HANDSHAKE_1), 0).empty());
  EXPECT_EQ(deaf.commands().size(), taken) << "nothing more is taken";
}

TEST(SimFaults, BadBootInfoRecordsAreRefusedByTheHost) {
  VirtualEventLoop loop;
  Config c = PresetOrDie("pic18");
  c.fault = {FaultKind::ShortBootInfo, 0};
  SimulatedBootloader shortened(c);
  Exchange ex(loop);
  ex.ShowRead(shortened.Receive(Plain(CMD_BOOT_INFO), 0).at(0).data);
  ASSERT_TRUE(ex.ParseBootInfo());
  EXPECT_EQ(ex.BootInfo.McuType, 2);
  EXPECT_EQ(ex.BootInfo.EraseBlockSize, 64);
  EXPECT_EQ(ex.BootInfo.WriteBlockSize, 0);
  EXPECT_FALSE(BootInfoUsable(ex.BootInfo, nullptr));

  c.fault = {FaultKind::GarbageBootInfo, 0};
  SimulatedBootloader garbage(c);
  auto out = garbage.Receive(Plain(CMD_BOOT_INFO), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NE(out[0].data, SimulatedBootloader(PresetOrDie("pic18")).BootInfoRecord());
}

// ---- On an event loop ----------------------------------------------------------

TEST(SimDevice, UploadStepsRunInDeviceTimeUnderVirtualTime) {
  VirtualEventLoop loop;
  Exchange ex(loop);
  SimDevice dev(loop, PresetOrDie("pic18"));
  dev.AttachTo(ex);

  ex.SendAddressedCommand(CMD_ERASE, 64, 2);
  ASSERT_EQ(ex.WaitForResponse(CMD_ERASE, 20), WaitResult::WaitOk);
  EXPECT_EQ(loop.now(), from_ms(6)) << "frame in, 2 x 2 ms erase, frame out";

  ex.SendAddressedCommand(CMD_WRITE, 0, 64);
  std::fill(ex.TransferBuffer.begin(), ex.TransferBuffer.end(), 0xA5);
  ex.SendPacket(64);
  ASSERT_EQ(ex.WaitForResponse(CMD_WRITE, 500), WaitResult::WaitOk);
  EXPECT_EQ(loop.now(), from_ms(13)) << "command and data frames, 2 write blocks of 2 ms, frame out";
  EXPECT_EQ(dev.device_time(), loop.now()) << "the device was never idle";
  EXPECT_EQ(dev.flash()[63], 0xA5);

  // A command sent while the device flashes is taken when it is done.
  std::vector<std::pair<Micros, std::uint8_t>> answers;
  dev.on_input = [&](std::span<const std::uint8_t> d) { answers.emplace_back(loop.now(), d[1]); };
  ex.SendAddressedCommand(CMD_ERASE, 9 * 64, 10);
  ex.SendPlainCommand(CMD_HANDSHAKE_1);
  loop.advance(from_ms(100));
  using A = std::pair<Micros, std::uint8_t>;
  EXPECT_EQ(answers, (std::vector<A>{A{from_ms(13 + 1 + 20 + 1), CMD_ERASE}, A{from_ms(13 + 1 + 20 + 1 + 1), CMD_HANDSHAKE_1}}));
}

TEST(SimDevice, ResetAndUnplugClearTheSelectedDevice) {
  VirtualEventLoop loop;
  Exchange ex(loop);
  Config c = PresetOrDie("pic18");
  c.fault = {FaultKind::Unplug, 2};
  SimDevice dev(loop, c);
  dev.AttachTo(ex);
  ex.SendPlainCommand(CMD_HANDSHAKE_1);
  ex.SendPlainCommand(CMD_HANDSHAKE_2);  // step 2 unplugs as the step-1 answer goes out
  EXPECT_EQ(ex.WaitForResponse(CMD_HANDSHAKE_2, 500), WaitResult::WaitNoDevice);
  EXPECT_EQ(loop.now(), from_ms(2));
  EXPECT_EQ(ex.CurrentDevice, nullptr);
  EXPECT_FALSE(ex.DataReceived);
  EXPECT_FALSE(dev.SendReport(Bytes(65, 0)));

  SimDevice fresh(loop, PresetOrDie("pic16"));
  fresh.AttachTo(ex);
  int unplugs = 0;
  fresh.on_unplug = [&] {
    ++unplugs;
    ex.CurrentDevice = nullptr;
  };
  ex.SendPlainCommand(CMD_RESET);
  loop.advance(from_ms(1));
  EXPECT_EQ(unplugs, 0) << "the restart takes a frame after the command arrives";
  loop.advance(from_ms(10));
  EXPECT_EQ(unplugs, 1);
  EXPECT_TRUE(fresh.reset_seen());
  EXPECT_FALSE(fresh.present());
  EXPECT_TRUE(fresh.model().Receive(Plain(CMD_HANDSHAKE_1), loop.now()).empty());
}

}  // namespace
}  // namespace ql::sim
