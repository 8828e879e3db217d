// The randomized fault soak: whole device sessions (boot-info requests, the
// connect handshake, the upload) against the simulated bootloader in virtual
// time, with random presets, image sizes from 0 to past the bootloader area,
// random answers to the bootloader-area question and random faults at random
// steps; some images reach the upload through a HEX file and the loader.
// Every session is checked against invariants worked out here (and in
// tests/support) from the layout rules, never from the engine's code.
//
// QUELLOADER_SOAK_COUNT  sessions to run (default 1500; the full run is 10000+)
// QUELLOADER_SOAK_SEED   first session's seed (default fixed); session i uses
//                        seed + i, so a failing session reruns alone with
//                        QUELLOADER_SOAK_SEED=<its seed> QUELLOADER_SOAK_COUNT=1

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "core/virtual_event_loop.h"
#include "image/flash_image.h"
#include "protocol/exchange.h"
#include "sim/simulated_bootloader.h"
#include "tests/soak/soak_oracle.h"
#include "tests/support/expected_flash.h"
#include "tests/support/recording_ui.h"
#include "upload/upload_engine.h"

namespace ql {
namespace {

using sim::FaultKind;
using test::ExpectedFlash;
using test::Layout;
using test::EnvNumber;
using test::LayoutUsable;
using test::PickLength;
using test::PlanFor;
using test::RandomImage;
using test::ShuffledHexText;

// ---- One session ---------------------------------------------------------------

struct Session {
  std::uint64_t seed = 0;
  std::string preset;
  std::int64_t length = 0;
  bool answer = true;
  int boot_info_requests = 1;
  sim::Fault fault;
  int stop_after_packet = 0;  // 0: no stop request
  bool through_hex = false;   // the image reaches the upload through a HEX file
  std::uint32_t boot_start = 0;   // overrides of the preset's layout; 0: the preset's
  std::uint16_t write_block = 0;
  sim::Config Device() const {
    sim::Config c = *sim::Preset(preset);
    if (boot_start != 0) c.info.BootStart = boot_start;
    if (write_block != 0) c.info.WriteBlockSize = write_block;
    c.fault = fault;
    return c;
  }
  std::string Describe() const {
    std::ostringstream s;
    s << "seed " << seed << " (rerun: QUELLOADER_SOAK_SEED=" << seed << " QUELLOADER_SOAK_COUNT=1): preset "
      << preset << ", image " << length << " bytes, answer " << (answer ? "OK" : "No") << ", boot-info requests "
      << boot_info_requests << ", fault " << static_cast<int>(fault.kind) << " at step " << fault.step
      << ", stop after packet " << stop_after_packet << (through_hex ? ", through a HEX file" : "");
    if (boot_start != 0) s << ", bootloader at " << boot_start;
    if (write_block != 0) s << ", write block " << write_block;
    return s.str();
  }
};

Session MakeSession(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Session s;
  s.seed = seed;
  static const char* kPresets[] = {"pic18", "pic18j", "pic16", "pic18j"};  // pic18j carries the large images
  s.preset = kPresets[std::uniform_int_distribution<int>(0, 3)(rng)];
  {
    // Drawn apart, so that the other sessions stay as their seeds made them.
    std::mt19937_64 layout(seed ^ 0x5DEECE66Dull);
    const test::LayoutDraw l = test::DrawLayout(layout, *sim::Preset(s.preset));
    s.boot_start = l.boot_start;
    s.write_block = l.write_block;
  }
  const sim::Config c = s.Device();
  s.length = PickLength(rng, c);
  s.answer = std::bernoulli_distribution(0.7)(rng);
  s.boot_info_requests = std::uniform_int_distribution<int>(1, 3)(rng);
  // A rough count of the session's steps, so that faults land anywhere in it.
  const std::int64_t steps = s.boot_info_requests + 2 + 1 + 2 * (s.length / c.info.EraseBlockSize + 1) + 4;
  const test::FaultDraw draw = test::DrawFault(rng, steps, s.boot_info_requests);
  s.fault = draw.fault;
  s.stop_after_packet = draw.stop_after_packet;
  s.through_hex = std::bernoulli_distribution(0.3)(rng);
  return s;
}

struct Tally {
  std::map<std::string, int> outcomes;
};

// Runs one session and returns what was wrong with it ("" when nothing).
std::string RunSession(const Session& s, Tally& tally) {
  std::ostringstream bad;
  auto check = [&](bool ok, const std::string& what) {
    if (!ok) bad << "\n  - " << what;
  };

  const sim::Config config = s.Device();
  const TBootInfo device_info = config.info;
  const std::vector<std::uint8_t> blank = sim::SimulatedBootloader(config).flash();
  VirtualEventLoop loop;
  Exchange ex(loop);
  sim::SimDevice dev(loop, config);
  dev.AttachTo(ex);

  std::mt19937_64 rng(s.seed ^ 0x9E3779B97F4A7C15ull);
  const std::vector<std::uint8_t> image = RandomImage(rng, s.length);

  // Selection: the device link asks for the boot info (again on every rebuild
  // of the device list); the last answer is the one in force.
  std::vector<std::string> lines;
  WaitResult r = WaitResult::WaitOk;
  for (int i = 0; i < s.boot_info_requests && r == WaitResult::WaitOk; ++i) {
    ex.SendPlainCommand(CMD_BOOT_INFO);
    r = ex.WaitForResponse(CMD_BOOT_INFO, 1000);
  }
  std::string outcome;
  const auto erase_or_write = [&] {
    return std::count_if(dev.commands().begin(), dev.commands().end(),
                         [](const sim::CommandRecord& c) { return c.code == CMD_ERASE || c.code == CMD_WRITE; });
  };
  if (r != WaitResult::WaitOk) {
    outcome = "not in bootloader mode";
  } else {
    ex.ApplyBlockSize();
    ex.SendPlainCommand(CMD_HANDSHAKE_1);
    r = ex.WaitForResponse(CMD_HANDSHAKE_1, 500);
    if (r == WaitResult::WaitOk) {
      ex.SendPlainCommand(CMD_HANDSHAKE_2);
      r = ex.WaitForResponse(CMD_HANDSHAKE_2, 500);
    }
    if (r != WaitResult::WaitOk) outcome = "connect failed";
  }
  if (!outcome.empty()) {
    ++tally.outcomes[outcome];
    check(erase_or_write() == 0, "erase or write without a connection");
    return bad.str();
  }

  // The upload, with a stop request (a click on "Stop uploading") while the
  // wait for the chosen packet's answer runs.
  const TBootInfo host_info = ex.BootInfo;
  test::RecordingUi ui(host_info.BootDeviceName);
  ui.keep_terminal = 0;  // the byte lines are only counted
  ui.answer = s.answer;
  int packets = 0;
  ex.OnPacketSent = [&](std::span<const std::uint8_t>) {
    if (++packets == s.stop_after_packet) loop.post([&ex] { ex.CancelWaits(); });
  };
  const std::size_t commands_before = dev.commands().size();
  const bool info_genuine = host_info.McuType == device_info.McuType &&
                            host_info.EraseBlockSize == device_info.EraseBlockSize &&
                            host_info.WriteBlockSize == device_info.WriteBlockSize &&
                            host_info.BootStart == device_info.BootStart;
  FlashImage flash_image;
  flash_image.family = FamilyFromMcuType(host_info.McuType);
  // PIC16 files end at 0x400E: records from there on are left out by the
  // loader, so longer PIC16 images go to the upload directly.
  const bool loadable = host_info.McuType != 1 || s.length <= 0x400E;
  if (s.through_hex && info_genuine && loadable) {
    const LoadResult loaded = LoadHexText(ShuffledHexText(image, rng), "soak.hex", flash_image.family, flash_image);
    check(loaded.ok() && flash_image.bytes == image, "the image's HEX file does not load to the image");
  } else {
    flash_image.bytes = image;
  }
  const UploadOutcome result = RunUpload(ex, flash_image, ui);
  if (result == UploadOutcome::Stopped || result == UploadOutcome::Completed) ui.FinishUpload();  // after the dialog

  const std::vector<sim::CommandRecord> upload_commands(dev.commands().begin() + commands_before,
                                                        dev.commands().end());
  const bool reset_sent =
      std::any_of(upload_commands.begin(), upload_commands.end(), [](auto& c) { return c.code == CMD_RESET; });

  // Every ending: nothing erased or written at or above the bootloader start
  // the host was given, nor (with genuine boot info) the device's own; every
  // write lands in flash this upload erased; "Disconnected." once; bar at 0.
  bad << test::CheckEraseAndWrites(upload_commands, host_info);
  if (info_genuine) {
    const bool refused_command = std::any_of(dev.refused().begin(), dev.refused().end(),
                                             [](const sim::CommandRecord& c) { return !c.unerased; });
    check(!refused_command && dev.model().BootAreaIntact(), "the bootloader area was touched");
    for (const auto& c : dev.refused())
      if (c.unerased)
        check(false, "the device saw a data block at " + std::to_string(c.address) + " (" + std::to_string(c.count) +
                         " bytes) written over flash it had not erased");
  }
  check(ui.finish_calls == 1, "FinishUpload ran " + std::to_string(ui.finish_calls) + " times");
  check(!ui.history.empty() && ui.history.back() == "Disconnected.", "history does not end in \"Disconnected.\"");
  check(ui.progress == 0, "progress bar not back at 0");
  std::vector<std::string> errors;
  for (const auto& l : ui.history)
    if (l.rfind("Error: ", 0) == 0) errors.push_back(l);

  switch (result) {
    case UploadOutcome::Completed: {
      outcome = "completed";
      check(errors.empty(), "error line after a completed upload");
      check(!upload_commands.empty() && upload_commands.back().code == CMD_RESET, "last command is not the reset");
      check(LayoutUsable(host_info), "an upload completed on a layout with no room for the program");
      check(std::count(ui.history.begin(), ui.history.end(), "Completed successfully.") == 1,
            "no \"Completed successfully.\"");
      const std::int64_t L = s.length;
      check(ui.questions == (L > std::int64_t{host_info.BootStart} ? 1 : 0), "bootloader-area question");
      if (info_genuine && LayoutUsable(device_info)) {
        check(dev.flash() == ExpectedFlash(blank, device_info, image), "flash differs from the expected layout");
        // The erase names exactly the blocks that hold image bytes, and the
        // final block; the writes cover the main write and the final block.
        bad << test::CheckCompletedCommands(upload_commands, device_info, L);
        const Layout p = PlanFor(device_info, L);
        check(static_cast<std::int64_t>(ui.terminal_count) == 3 + std::min(L, p.write_length), "terminal lines: one per image byte written");
      }
      break;
    }
    case UploadOutcome::Failed:
      outcome = "failed";
      check(errors.size() == 1 && (errors[0] == "Error: Timeout waiting for MCU." ||
                                   errors[0] == "Error: Device " + host_info.BootDeviceName + " removed."),
            "not exactly one wait error line of the message table");
      check(!reset_sent, "reset sent after a failure");
      break;
    case UploadOutcome::Refused:
      outcome = "refused";
      check(errors.size() == 1 && test::IsUploadRefusal(errors[0]), "not exactly one refusal line");
      check(!reset_sent && upload_commands.empty(), "a refused upload sent commands");
      check(!info_genuine || s.length == 0 || (device_info.McuType == 2 && s.length < 4) || !LayoutUsable(device_info),
            "usable boot info and image refused");
      break;
    case UploadOutcome::Declined:
      outcome = "declined";
      check(errors.empty(), "error line after No");
      check(upload_commands.empty(), "No still erased or wrote");
      check(std::count(ui.other_terminal.begin(), ui.other_terminal.end(), "Upload aborted.") == 1,
            "no \"Upload aborted.\"");
      check(!s.answer && s.length > std::int64_t{host_info.BootStart}, "declined without a No to the question");
      break;
    case UploadOutcome::Stopped:
      outcome = "stopped";
      check(errors.empty(), "error line after a stop request");
      check(!reset_sent, "reset sent after a stop request");
      check(s.stop_after_packet > 0, "stopped without a stop request");
      if (info_genuine) {
        // The stop closed whatever the device had open: only planned bytes
        // or the erased value in flash, and the next session's first
        // packets are taken as commands.
        const std::vector<std::uint8_t> planned = ExpectedFlash(blank, device_info, image);
        bool only_planned = true;
        for (std::size_t a = 0; a < blank.size(); ++a)
          only_planned = only_planned && (dev.flash()[a] == planned[a] || dev.flash()[a] == blank[a]);
        check(only_planned, "a stopped upload programmed bytes that are not the image's");
        ex.SendPlainCommand(CMD_HANDSHAKE_1);
        check(ex.WaitForResponse(CMD_HANDSHAKE_1, 500) == WaitResult::WaitOk, "no handshake answer after a stop");
        ex.SendPlainCommand(CMD_BOOT_INFO);
        check(ex.WaitForResponse(CMD_BOOT_INFO, 1000) == WaitResult::WaitOk, "no boot info after a stop");
      }
      break;
  }
  if (!info_genuine) outcome += " (boot info not the device's)";
  ++tally.outcomes[outcome];
  return bad.str();
}

// The oracle against the worked example: PIC18, E 64, write block 32,
// BootStart 0x7C00, L 0x1234: 73 blocks erased, W 0x1240; with L 0x7BD0,
// 495 blocks and W 0x7BC0.
TEST(SoakOracle, MatchesTheWorkedExamples) {
  TBootInfo info;
  info.McuType = 2;
  info.EraseBlockSize = 64;
  info.WriteBlockSize = 32;
  info.BootStart = 0x7C00;
  Layout p = PlanFor(info, 0x1234);
  EXPECT_EQ(p.erase_blocks, 73);
  EXPECT_EQ(p.write_length, 0x1240);
  p = PlanFor(info, 0x7BD0);
  EXPECT_EQ(p.erase_blocks, 495);
  EXPECT_EQ(p.write_length, 0x7BC0);

  std::vector<std::uint8_t> image(0x1234, 0x11);
  image[0] = 0xA0, image[1] = 0xA1, image[2] = 0xA2, image[3] = 0xA3;
  const auto f = ExpectedFlash(std::vector<std::uint8_t>(0x8000, 0xFF), info, image);
  EXPECT_EQ(f[0], 0x00);  // GOTO 0x3E00: 00 EF 3E F0
  EXPECT_EQ(f[1], 0xEF);
  EXPECT_EQ(f[2], 0x3E);
  EXPECT_EQ(f[3], 0xF0);
  EXPECT_EQ(f[0x1233], 0x11);
  EXPECT_EQ(f[0x1234], 0xFF);
  EXPECT_EQ(f[0x7BFB], 0xFF);
  EXPECT_EQ(f[0x7BFC], 0xA0);
  EXPECT_EQ(f[0x7BFF], 0xA3);
}

TEST(Soak, RandomSessionsKeepTheInvariants) {
  const std::uint64_t count = EnvNumber("QUELLOADER_SOAK_COUNT", 1500);
  const std::uint64_t first = EnvNumber("QUELLOADER_SOAK_SEED", 20261208);
  Tally tally;
  int failures = 0;
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t i = 0; i < count && failures < 10; ++i) {
    const Session s = MakeSession(first + i);
    const std::string bad = RunSession(s, tally);
    if (!bad.empty()) {
      ++failures;
      ADD_FAILURE() << s.Describe() << bad;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("soak: %llu sessions from seed %llu in %.1f s\n", static_cast<unsigned long long>(count),
              static_cast<unsigned long long>(first), seconds);
  for (const auto& [what, n] : tally.outcomes) std::printf("  %6d %s\n", n, what.c_str());
  // A soak whose sessions all ended the same way would prove little.
  EXPECT_GT(tally.outcomes["completed"], 0);
  EXPECT_GT(tally.outcomes["failed"], 0);
}

}  // namespace
}  // namespace ql
