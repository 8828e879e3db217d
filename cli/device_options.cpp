#include "cli/device_options.h"

#include "cli/commands.h"
#include "core/parse_number.h"

namespace ql::cli {

std::uint32_t ParseNumber(const std::string& text, std::uint32_t max, const std::string& what) {
  if (const auto value = ql::ParseNumber(text, max)) return *value;
  throw CLI::ValidationError(what, "'" + text + "' is not a number from 0 to " + std::to_string(max) +
                                       " (decimal, or hex with 0x)");
}

CLI::Validator CommandLineNumber() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const auto value = ql::ParseNumber(text, 0xFFFFFFFFu);
        if (!value) return "'" + text + "' is not a number (decimal, or hex with 0x)";
        text = std::to_string(*value);
        return {};
      },
      "", "number");
}

namespace {

void AddNumber(CLI::App& cmd, const std::string& name, std::optional<std::uint32_t>& target, std::uint32_t max,
               const std::string& help, const std::string& group) {
  cmd.add_option_function<std::string>(
         name, [&target, max, name](const std::string& s) { target = ParseNumber(s, max, name); }, help)
      ->type_name("N")
      ->group(group);
}

}  // namespace

void AddDeviceOptions(CLI::App& cmd, DeviceSelection& selection) {
  const std::string group = "Device selection";
  cmd.add_option("--simulate", selection.simulate,
                 "Talk to an in-process simulated bootloader instead of a USB device")
      ->type_name("PRESET")
      ->check(CLI::IsMember(sim::PresetNames()))
      ->group(group);
  AddNumber(cmd, "--boot-start", selection.boot_start, 0xFFFFFFFFu,
            "Simulated device: start address of the bootloader area", group);
  AddNumber(cmd, "--erase-block", selection.erase_block, 0xFFFF, "Simulated device: erase block size in bytes", group);
#ifdef QUELLOADER_HAVE_HID
  AddRealDeviceOptions(cmd, selection.real, group);
  AddWaitOption(cmd, selection.real, group);
#endif
  AddNumber(cmd, "--write-block", selection.write_block, 0xFFFF, "Simulated device: write block size in bytes", group);
}

sim::Config SimulatedConfig(const DeviceSelection& selection) {
  sim::Config config = *sim::Preset(selection.simulate);
  if (selection.boot_start) config.info.BootStart = *selection.boot_start;
  if (selection.erase_block) config.info.EraseBlockSize = static_cast<std::uint16_t>(*selection.erase_block);
  if (selection.write_block) config.info.WriteBlockSize = static_cast<std::uint16_t>(*selection.write_block);
  return config;
}

}  // namespace ql::cli
