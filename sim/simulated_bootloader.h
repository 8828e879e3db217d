#pragma once
// A USB HID bootloader, modelled from the device side: flash memory with
// erase and write blocks and a protected bootloader area, the boot-info
// record, acknowledgements, reset, a timing model and fault injection. It is
// the oracle of the upload tests, the --simulate demo, and (through /dev/uhid)
// a real kernel HID device.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_loop.h"
#include "protocol/exchange.h"

namespace ql::sim {

// Flash and bus times. One frame carries one report, each way; a device busy
// flashing takes its next report only when the flash work is done.
struct Timing {
  Micros frame = 1000;             // one USB frame per report, each way
  Micros erase_per_block = 2000;   // flash erase time of one erase block
  Micros write_per_block = 2000;   // flash write time of one write block
};

// What can go wrong. A "step" is one packet the device recognises: a command
// (CMD_HANDSHAKE_1/2, CMD_BOOT_INFO, CMD_RESET, CMD_WRITE, CMD_ERASE) or a
// completed data block, counted from 1 over the device's whole life. Step 0
// means every step the fault can apply to.
enum class FaultKind {
  None,
  NoAnswer,         // the packet of step k is dropped: not carried out, no answer
                    // (a dropped CMD_WRITE leaves its data to be read as commands,
                    // as on a device that missed the command)
  WrongAnswer,      // the packet of step k is carried out and answered with another code
  GarbageBootInfo,  // the boot-info answer is pseudo-random bytes
  ShortBootInfo,    // the boot-info answer stops after McuType and EraseBlockSize
  Silent,           // nothing is carried out and nothing answered, ever
  Unplug,           // the device leaves the bus when the packet of step k arrives
  Deaf,             // the device takes no report from the packet of step k on
                    // (step 0 or 1: none at all): the packet before it is carried
                    // out and answered, then its host's writes stall (over USB the
                    // endpoint is no longer read)
};

struct Fault {
  FaultKind kind = FaultKind::None;
  int step = 0;
};

struct Config {
  std::string preset;          // "pic18", "pic18j", "pic16"
  TBootInfo info;              // what the boot-info record reports
  std::uint32_t flash_size = 0;
  Timing timing;
  Fault fault;
};

// The presets; std::nullopt for an unknown name. Every value may be
// overridden afterwards, one at a time.
std::optional<Config> Preset(std::string_view name);
std::vector<std::string> PresetNames();

// Why `config` cannot be one device ("" when it can): its bootloader area
// must start inside its flash, and its flash must be made of whole erase
// blocks. Boot-info values the host refuses (a block size of 0, a start off a
// block boundary) are not conflicts: they are what a faulty device may report.
std::string ConfigConflict(const Config& config);

// One recognised command, in arrival order.
struct CommandRecord {
  int step = 0;
  Micros at = 0;         // when the command's last report reached the device
  std::uint8_t code = 0;
  std::uint32_t address = 0;
  std::uint16_t count = 0;
  bool refused = false;  // touched the bootloader area (or lay outside the flash) and was not carried out
  // A data block (code CMD_WRITE, its own address and length) that landed on
  // flash not erased since the device came up: carried out as flash does it,
  // so older bytes show through, and recorded with the refused commands.
  bool unerased = false;
};

// Something the device sends: an input report (64 data bytes, no report ID)
// or its leaving the bus, each with the time it happens.
struct Output {
  enum class Kind { Report, Unplug };
  Kind kind = Kind::Report;
  Micros at = 0;
  std::vector<std::uint8_t> data;
};

// The device model alone: fed output reports with the time they are sent, it
// returns what it sends back and when. It keeps no clock of its own, so any
// loop (virtual, real, or a kernel uhid device) can drive it.
//
// Flash: `flash_size` bytes, erased bytes 0xFF (PIC16, McuType 1: words read
// 0x3FFF, so odd bytes hold only 6 bits). Writing ANDs into the flash as real
// flash does, so a write over unerased memory shows. The bootloader area
// [BootStart, flash_size) holds "BOOT" repeated; any erase or write touching
// it is refused: recorded, not carried out, but acknowledged as a real
// bootloader would. Whatever the flash held when the device came up counts as
// unerased: a data block written where this device has not erased since is
// recorded with the refused commands.
class SimulatedBootloader {
 public:
  explicit SimulatedBootloader(Config config);

  // The bootloader starts again (the board reset into it) with its flash as
  // it is: nothing counts as erased any more, and a device that left the bus
  // is on it again. The records are kept.
  void BeginSession();

  // One output report's 64 data bytes (shorter is padded with zeros) sent at `now`.
  std::vector<Output> Receive(std::span<const std::uint8_t> data, Micros now);
  // The same for a whole report with its report-ID byte first.
  std::vector<Output> ReceiveReport(std::span<const std::uint8_t> report, Micros now);

  const Config& config() const { return config_; }
  const std::vector<std::uint8_t>& flash() const { return flash_; }
  const std::vector<CommandRecord>& commands() const { return commands_; }
  // The refused commands and the data blocks written over unerased flash.
  const std::vector<CommandRecord>& refused() const { return refused_; }
  bool reset_seen() const { return reset_seen_; }
  bool present() const { return present_; }
  int steps() const { return step_; }
  // Data blocks completed (acknowledged or not).
  int data_blocks() const { return data_blocks_; }
  // Reports outside a write that held no known command.
  int ignored_reports() const { return ignored_reports_; }
  // The device has stopped taking reports (the Deaf fault struck).
  bool deaf() const { return deaf_; }
  // Time the device spent on the bus and flashing: every frame in and out plus
  // every erase and write time.
  Micros device_time() const { return device_time_; }

  // The byte the flash holds at `address` when erased, and the bootloader
  // area's pattern byte there.
  std::uint8_t ErasedByte(std::uint32_t address) const;
  std::uint8_t BootAreaByte(std::uint32_t address) const;
  bool BootAreaIntact() const;
  // The boot-info record the device sends (64 bytes).
  std::vector<std::uint8_t> BootInfoRecord() const;

 private:
  bool FaultAt(FaultKind kind) const;
  void Answer(std::vector<Output>& out, Micros at, std::vector<std::uint8_t> data);
  void Ack(std::vector<Output>& out, Micros at, std::uint8_t code);
  void Command(std::span<const std::uint8_t> data, Micros arrival, std::vector<Output>& out);
  void DataReport(std::span<const std::uint8_t> data, Micros arrival, std::vector<Output>& out);
  bool InBootAreaOrOutside(std::uint64_t begin, std::uint64_t end) const;
  std::uint8_t Mask(std::uint32_t address) const;

  Config config_;
  std::vector<std::uint8_t> flash_;
  std::vector<bool> erased_;  // per byte: erased since the device came up
  std::vector<CommandRecord> commands_;
  std::vector<CommandRecord> refused_;
  bool reset_seen_ = false;
  bool present_ = true;
  bool deaf_ = false;
  int step_ = 0;
  int data_blocks_ = 0;
  int ignored_reports_ = 0;
  Micros busy_until_ = 0;
  Micros device_time_ = 0;

  // The write in progress: bytes still to come, where they go, the block
  // being collected, and whether the command was refused or dropped.
  std::uint32_t write_remaining_ = 0;
  std::uint32_t write_address_ = 0;
  std::vector<std::uint8_t> block_;
  std::uint32_t block_size_ = 0;
  bool write_refused_ = false;
};

class ModelDriver;

// The model as a ReportDevice on an event loop: every report is handed to the
// model and each answer is delivered on the loop at its time; leaving the bus
// (reset, or a fault) calls on_unplug, upon which the owner clears
// Exchange::CurrentDevice as a removal does.
class SimDevice final : public ReportDevice {
 public:
  SimDevice(EventLoop& loop, Config config);
  ~SimDevice() override;
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  // Receives each input report (64 data bytes): normally Exchange::ShowRead.
  std::function<void(std::span<const std::uint8_t>)> on_input;
  std::function<void()> on_unplug;

  std::uint16_t OutputReportByteLength() override { return static_cast<std::uint16_t>(kReportSize); }
  bool SendReport(std::span<const std::uint8_t> report) override;

  // Connects the device to an exchange: answers go to ShowRead, and leaving
  // the bus clears CurrentDevice. Sets CurrentDevice to this device.
  void AttachTo(Exchange& exchange);

  bool present() const;
  SimulatedBootloader& model();
  const SimulatedBootloader& model() const;
  const std::vector<std::uint8_t>& flash() const { return model().flash(); }
  const std::vector<CommandRecord>& commands() const { return model().commands(); }
  const std::vector<CommandRecord>& refused() const { return model().refused(); }
  bool reset_seen() const { return model().reset_seen(); }
  Micros device_time() const { return model().device_time(); }

 private:
  std::unique_ptr<ModelDriver> driver_;
};

}  // namespace ql::sim
