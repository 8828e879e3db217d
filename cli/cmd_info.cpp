// `quelloader-cli info`: finds the bootloader, asks it for its boot info and
// prints it: family, device name, block sizes and where the bootloader's
// own area starts.

#include <cstdio>
#include <memory>
#include <string>

#include "cli/device_select.h"
#include "cli/failure.h"
#include "core/blocking_event_loop.h"
#include "core/mcu_family.h"
#include "protocol/exchange.h"

namespace ql::cli {

namespace {

ExitCode RunInfo(const RealDeviceOptions& options) {
  BlockingEventLoop loop;
  Exchange exchange(loop);
  BootloaderSession session(loop, exchange, options, [](std::string_view line) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  });
  std::string message;
  if (const ExitCode found = session.Find(&message); found != ExitCode::Success) throw Failure(found, message);
  const TBootInfo& info = exchange.BootInfo;
  std::printf("Path: %s\n", session.Path().c_str());
  std::printf("Family: %s\n", ql::FamilyName(info.McuType).c_str());
  std::printf("Device: %s\n", info.BootDeviceName.c_str());
  std::printf("Erase block size: %u\n", static_cast<unsigned>(info.EraseBlockSize));
  std::printf("Write block size: %u\n", static_cast<unsigned>(info.WriteBlockSize));
  std::printf("BootStart: 0x%X (%u)\n", static_cast<unsigned>(info.BootStart),
              static_cast<unsigned>(info.BootStart));
  std::string why;
  if (!BootInfoUsable(info, &why)) throw Failure(ExitCode::Failed, why);
  return ExitCode::Success;
}

}  // namespace

Command AddInfoCommand(CLI::App& app) {
  auto options = std::make_shared<RealDeviceOptions>();
  CLI::App* cmd = app.add_subcommand("info", "Show the bootloader's boot info: family, device "
                                              "name, block sizes and bootloader start");
  AddRealDeviceOptions(*cmd, *options);
  AddWaitOption(*cmd, *options);
  return {cmd, [options] { return RunInfo(*options); }};
}

}  // namespace ql::cli
