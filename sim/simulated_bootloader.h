#pragma once
// A USB HID bootloader, modelled from the device side: flash memory with
// erase and write blocks and a protected bootloader area, the boot-info
// record, acknowledgements, reset, a timing model and fault injection. It is
// the oracle of the upload tests, the --simulate demo, and (through /dev/uhid)
// a real kernel HID device.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_loop.h"
#include "protocol/exchange.h"

namespace ql::sim {

struct Timing {
  Micros frame = 1000;             // one USB frame per report, each way
  Micros erase_per_block = 2000;   // flash erase time of one erase block
  Micros write_per_block = 1000;   // flash write time of one write block
};

struct Config {
  std::string preset;          // "pic18", "pic18j", "pic16"
  TBootInfo info;              // what the boot-info record reports
  std::uint32_t flash_size = 0;
  Timing timing;
};

// The presets; std::nullopt for an unknown name.
std::optional<Config> Preset(std::string_view name);
std::vector<std::string> PresetNames();

enum class FaultKind {
  None,
  NoAnswer,        // the command of step k gets no answer
  WrongAnswer,     // the command of step k is acknowledged with another code
  GarbageBootInfo, // the boot-info answer is random bytes
  ShortBootInfo,   // the boot-info answer stops early
  Silent,          // no answer at all, ever
  Unplug,          // the device leaves the bus at step k
};

struct Fault {
  FaultKind kind = FaultKind::None;
  int step = 0;  // counted over the packets (commands and data blocks) received
};

struct CommandRecord {
  std::uint8_t code = 0;
  std::uint32_t address = 0;
  std::uint16_t count = 0;
  bool refused = false;  // touched the bootloader area and was not carried out
};

}  // namespace ql::sim
