#pragma once
// What the upload tests share: a front end that records what the engine
// shows, an upload rig around the simulated bootloader on virtual time, and
// the memory layout an upload has to leave, worked out here from the layout
// rules and never from the engine's code.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/virtual_event_loop.h"
#include "protocol/exchange.h"
#include "sim/simulated_bootloader.h"
#include "upload/upload_engine.h"

namespace ql::test {

class RecordingUi : public UploadUi {
 public:
  explicit RecordingUi(std::string name = "PIC18F4550") : name_(std::move(name)) {}

  void AppendHistory(std::string_view line) override { history.emplace_back(line); }
  void AppendTerminal(std::string_view line) override {
    ++terminal_count;
    if (terminal.size() < keep_terminal) terminal.emplace_back(line);
    last_terminal.assign(line);
  }
  void ProgressSetMax(std::int64_t max) override {
    progress_max = max;
    progress = 0;
  }
  void ProgressStep() override {
    ++progress_steps;
    progress = std::min(progress + 7, progress_max);
  }
  bool AskBootloaderArea() override {
    ++questions;
    return answer;
  }
  void FinishUpload() override {
    ++finish_calls;
    history.emplace_back("Disconnected.");
    progress = 0;
  }
  std::string DeviceName() override { return name_; }

  std::vector<std::string> history;
  std::vector<std::string> terminal;  // the first `keep_terminal` lines
  std::size_t keep_terminal = 100000;
  std::string last_terminal;
  std::size_t terminal_count = 0;
  std::int64_t progress_max = -1;
  std::int64_t progress = 0;
  std::int64_t progress_steps = 0;
  int questions = 0;
  bool answer = true;
  int finish_calls = 0;

 private:
  std::string name_;
};

// A PIC16 program word has 14 bits: the high byte of each word keeps 6.
inline std::uint8_t WordMask(const TBootInfo& info, std::size_t address) {
  return info.McuType == 1 && (address & 1) ? 0x3F : 0xFF;
}

// The layout a completed upload leaves: a PIC18 GOTO to the bootloader's word
// address in bytes 0-3, the image up to the main write's end W (0xFF past the
// image), erased flash as far as the main erase reached and the old contents
// beyond it, the final block blank with the saved reset vector at its end on
// PIC18, and the bootloader area as it was.
inline std::vector<std::uint8_t> ExpectedFlash(const std::vector<std::uint8_t>& before, const TBootInfo& info,
                                               const std::vector<std::uint8_t>& image, std::size_t W,
                                               std::size_t erased_to) {
  std::vector<std::uint8_t> f = before;
  const std::size_t E = info.EraseBlockSize;
  const std::size_t final_block = info.BootStart - E;
  std::vector<std::uint8_t> program(W, 0xFF);
  std::copy_n(image.begin(), std::min(W, image.size()), program.begin());
  std::vector<std::uint8_t> last(E, 0xFF);
  if (info.McuType == 2) {
    const std::uint32_t k = info.BootStart / 2;
    const std::uint8_t goto_bootloader[4] = {static_cast<std::uint8_t>(k & 0xFF), 0xEF,
                                             static_cast<std::uint8_t>((k >> 8) & 0xFF),
                                             static_cast<std::uint8_t>(0xF0 | ((k >> 16) & 0x0F))};
    std::copy_n(goto_bootloader, 4, program.begin());
    std::copy_n(image.begin(), 4, last.end() - 4);
  }
  for (std::size_t a = 0; a < erased_to; ++a) f[a] = WordMask(info, a);
  for (std::size_t a = 0; a < W; ++a) f[a] = program[a] & WordMask(info, a);
  for (std::size_t i = 0; i < E; ++i) f[final_block + i] = last[i] & WordMask(info, final_block + i);
  return f;
}

inline sim::Config Device(const char* preset) { return *sim::Preset(preset); }

// An image whose bytes differ from their neighbours and from an erased flash.
inline FlashImage PatternImage(std::size_t length, McuFamily family = McuFamily::Pic18) {
  FlashImage image;
  image.family = family;
  image.bytes.resize(length);
  for (std::size_t i = 0; i < length; ++i) image.bytes[i] = static_cast<std::uint8_t>((i * 37 + (i >> 8) * 11 + 1) & 0xFF);
  return image;
}

inline std::string Line(int spaces, const char* hex) { return std::string(spaces, ' ') + hex; }

inline std::string HexOf(std::uint8_t b) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[b >> 4], kDigits[b & 0x0F]};
}

// One upload against the simulated bootloader, connected as the device link
// leaves it (boot info taken, TransferBuffer one erase block long), with
// every packet recorded as it leaves the exchange.
struct Rig {
  explicit Rig(sim::Config config) : info(config.info), dev(loop, std::move(config)) {
    dev.AttachTo(ex);
    ex.BootInfo = info;
    ex.ApplyBlockSize();
    before = dev.flash();
    ex.OnPacketSent = [this](std::span<const std::uint8_t> p) {
      packets.emplace_back(p.begin(), p.end());
      sent_at.push_back(loop.now());
      if (on_packet) on_packet(packets.size());
    };
  }
  UploadOutcome Run(const FlashImage& image) { return RunUpload(ex, image, ui); }

  // Programs an older program below the final block first, so that what the
  // upload erases, writes and leaves alone can be told apart.
  void HoldOlderProgram() {
    const auto OnPacketSent = std::exchange(ex.OnPacketSent, nullptr);
    const std::uint32_t E = info.EraseBlockSize;
    const std::uint32_t length = info.BootStart - E;
    // An earlier session's upload: erase, write, and the bootloader starts
    // again, so that nothing counts as erased for the upload under test.
    ex.SendAddressedCommand(CMD_ERASE, length - E, static_cast<std::uint16_t>(length / E));
    ASSERT_EQ(ex.WaitForResponse(CMD_ERASE, 10 * (length / E)), WaitResult::WaitOk);
    ex.SendAddressedCommand(CMD_WRITE, 0, static_cast<std::uint16_t>(length));
    for (std::uint32_t a = 0; a < length; a += E) {
      for (std::uint32_t i = 0; i < E; ++i) ex.TransferBuffer[i] = static_cast<std::uint8_t>((a + i) * 13 + 7);
      ex.SendPacket(E);
      ASSERT_EQ(ex.WaitForResponse(CMD_WRITE, 500), WaitResult::WaitOk);
    }
    dev.model().BeginSession();
    before = dev.flash();
    ex.OnPacketSent = OnPacketSent;
  }

  struct Cmd {
    std::uint8_t code;
    std::uint32_t address;
    std::uint16_t count;
    bool operator==(const Cmd&) const = default;
  };
  // The commands of the upload, in the order the device took them.
  std::vector<Cmd> Commands(std::size_t skip = 0) const {
    std::vector<Cmd> out;
    for (std::size_t i = skip; i < dev.commands().size(); ++i) {
      const auto& c = dev.commands()[i];
      out.push_back({c.code, c.address, c.count});
    }
    return out;
  }

  TBootInfo info;
  VirtualEventLoop loop;
  Exchange ex{loop};
  sim::SimDevice dev;
  RecordingUi ui;
  std::vector<std::uint8_t> before;
  std::vector<std::vector<std::uint8_t>> packets;
  std::vector<Micros> sent_at;
  std::function<void(std::size_t)> on_packet;
};

}  // namespace ql::test
