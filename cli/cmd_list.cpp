// `quelloader-cli list`: every HID device present, one line each: its node
// (for --path), its USB ID and its list text, with the bootloaders marked
// and the nodes this user may not open flagged.

#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cli/device_select.h"
#include "core/blocking_event_loop.h"
#include "core/bootloader_name.h"
#include "session/device_link.h"
#include "hid/hid_controller.h"
#include "hid/platform_hid_backend.h"

namespace ql::cli {

namespace {

ExitCode RunList() {
  BlockingEventLoop loop;
  std::unique_ptr<HidBackend> backend = MakePlatformHidBackend();
  TJvHidDeviceController ctl(loop, *backend);
  bool rebuilt = false;
  ctl.OnDeviceChange = [&] { rebuilt = true; };
  loop.run_until([&] { return rebuilt; }, loop.now() + from_ms(5000));

  std::vector<std::string> lines;
  // The causes of the [no access] marks, each explained once below the list.
  std::set<int> locked_errors;
  ctl.OnEnumerate = [&](TJvHidDevice& d, int) {
    // Inside the event the device may be opened for its strings.
    char id[16];
    std::snprintf(id, sizeof id, "%04X:%04X", static_cast<unsigned>(d.VendorID()),
                  static_cast<unsigned>(d.ProductID()));
    std::string line = d.PnPInfo().DevicePath() + "  " + id + "  " + DeviceName(d);
    if (!d.PnPInfo().info.port.empty()) line += "  port " + d.PnPInfo().info.port;
    if (d.ProductText() == BootloaderProductName) line += "  [bootloader]";
    if (!d.CanReadWrite()) {
      line += "  [no access]";
      locked_errors.insert(d.ReadWriteError());
    }
    lines.push_back(std::move(line));
    return true;
  };
  ctl.EnumerateDevices();
  for (const std::string& line : lines) std::printf("%s\n", line.c_str());
  if (lines.empty()) std::fprintf(stderr, "No HID devices found.\n");
  for (const int error : locked_errors) std::fprintf(stderr, "[no access]: %s\n", NoAccessText(error).c_str());
  return ExitCode::Success;
}

}  // namespace

Command AddListCommand(CLI::App& app) {
  CLI::App* cmd = app.add_subcommand(
      "list", "List every HID device: its node (for --path), USB ID, name and USB port (for --port); "
              "bootloaders marked");
  return {cmd, [] { return RunList(); }};
}

}  // namespace ql::cli
