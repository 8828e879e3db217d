#pragma once
// What the upload tests share: an upload rig around the simulated bootloader
// on virtual time, with the recording front end and the expected layout of
// tests/support.

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
#include "tests/support/expected_flash.h"
#include "tests/support/recording_ui.h"
#include "upload/upload_engine.h"

namespace ql::test {

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
