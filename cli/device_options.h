#pragma once
// How a command chooses the bootloader it talks to: one option group shared by
// every command that needs a device. --simulate picks the in-process simulated
// bootloader, whose boot-info values can be overridden one at a time. The
// options naming a real device (its hidraw path, its serial number) belong in
// this group too.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "sim/simulated_bootloader.h"
#ifdef QUELLOADER_HAVE_HID
#include "cli/device_select.h"
#endif

namespace ql::cli {

struct DeviceSelection {
  std::string simulate;  // preset name; empty: a real device
  std::optional<std::uint32_t> boot_start;
  std::optional<std::uint32_t> erase_block;
  std::optional<std::uint32_t> write_block;

#ifdef QUELLOADER_HAVE_HID
  RealDeviceOptions real;  // --path, --serial, --wait
#endif

  bool simulated() const { return !simulate.empty(); }
};

// For an option CLI11 converts itself (an int with a range check): reads the
// word as ParseNumber does and hands the option its value in decimal. CLI11
// alone would read it as strtol with base 0 ("010" as eight, " 7" and "+7"
// as numbers), unlike every other number of the command line.
CLI::Validator CommandLineNumber();

// Adds the device-selection group to `cmd`; `selection` must outlive parsing.
void AddDeviceOptions(CLI::App& cmd, DeviceSelection& selection);

// The simulated bootloader's configuration: the preset with the overrides.
sim::Config SimulatedConfig(const DeviceSelection& selection);

}  // namespace ql::cli
