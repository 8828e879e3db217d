// quelloader-sim: the simulated bootloader as a real kernel HID device,
// made through /dev/uhid, so that quelloader and quelloader-cli find it and
// upload into it exactly as into a board. It prints what it receives and can
// write its flash to a file when it ends (interrupted, or after the reset
// that makes it leave the bus).

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/blocking_event_loop.h"
#include "core/parse_number.h"
#include "core/version.h"
#include "protocol/exchange.h"
#include "sim/fault_names.h"
#include "sim/simulated_bootloader.h"
#include "simtool/uhid_bridge.h"
#include "simtool/uhid_descriptor.h"
#include "simtool/usb_gadget.h"

namespace {

// The command line's reading of a number, as quelloader-cli has it.
std::uint32_t ParseNumber(const std::string& text, std::uint32_t max, const std::string& what) {
  if (const auto value = ql::ParseNumber(text, max)) return *value;
  throw CLI::ValidationError(what, "'" + text + "' is not a number from 0 to " + std::to_string(max) +
                                       " (decimal, or hex with 0x)");
}


bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

int Run(int argc, char** argv) {
  CLI::App app{"Runs the simulated USB HID bootloader as a real kernel HID device through /dev/uhid\n"
               "(or, with --usb, as a USB device on a USB device controller), named\n"
               "\"USB HID Bootloader\" (USB ID 1209:0001), until interrupted or until the\n"
               "reset at the end of an upload makes it leave the bus.",
               "quelloader-sim"};
  app.set_version_flag("--version", std::string("quelloader-sim ") + ql::kVersion + "\nQt: not used\ncommit " + ql::kCommit);
  std::string preset;
  std::optional<std::uint32_t> boot_start, erase_block, write_block;
  std::string fault_text;
  std::string dump_flash;
  std::string name(ql::kSimName);
  std::string serial;
  bool verbose = false;
  bool quiet = false;
  bool usb = false;
  std::string udc;
  std::string manufacturer;
  std::string usb_id;
  std::optional<std::uint32_t> come_back;
  int devices = 1;

  app.add_option("PRESET", preset, "Device to simulate")
      ->required()
      ->check(CLI::IsMember(ql::sim::PresetNames()));
  auto number = [&](const char* opt, std::optional<std::uint32_t>& target, std::uint32_t max,
                    const char* help) {
    app.add_option_function<std::string>(
           opt, [&target, max, opt](const std::string& s) { target = ParseNumber(s, max, opt); },
           help)
        ->type_name("N");
  };
  number("--boot-start", boot_start, 0xFFFFFFFFu, "Start address of the bootloader area");
  number("--erase-block", erase_block, 0xFFFF, "Erase block size in bytes");
  number("--write-block", write_block, 0xFFFF, "Write block size in bytes");
  app.add_option("--fault", fault_text,
                 "Misbehave: KIND, or KIND@STEP (or KIND:STEP), KIND one of no-answer, wrong-answer, "
                 "garbage-boot-info, short-boot-info, silent, unplug, deaf; STEP counts the packets "
                 "received from 1 (0 or none: every one)")
      ->type_name("KIND[@STEP]");
  app.add_option("--dump-flash", dump_flash, "At the end, write the whole flash to OUT")
      ->type_name("OUT");
  app.add_option("--name", name, "Product string the device reports")->capture_default_str();
  app.add_option("--serial", serial, "Serial number the device reports (none by default)");
  app.add_flag("--usb", usb,
               "Be a USB device instead: a configfs HID gadget on a USB device controller (root; "
               "configfs, libcomposite and a UDC needed)");
  app.add_option("--udc", udc, "With --usb: the USB device controller to use (default: the first free one)")
      ->type_name("NAME");
  app.add_option("--manufacturer", manufacturer, "With --usb: manufacturer string (none by default)");
  app.add_option("--usb-id", usb_id, "With --usb: the USB ID, as VID:PID in hex (default 1209:0001)")
      ->type_name("VID:PID");
  app.add_option_function<std::string>(
         "--come-back", [&come_back](const std::string& s) { come_back = ParseNumber(s, 600000, "--come-back"); },
         "With --usb: after the reset, come back on the bus in the bootloader MS milliseconds later, "
         "its flash kept, as a board whose program jumps back")
      ->type_name("MS");
  app.add_option("--devices", devices,
                 "Be N bootloaders at once (without --usb): serial numbers SERIAL0001 and up (SIM0001 "
                 "without --serial), flash dumps OUT-1 and up; the lines start with the device's number")
      ->type_name("N")
      // Read as every other number here, not by CLI11's strtol ("010" as eight, "+2" a number).
      ->transform([](const std::string& s) { return std::to_string(ParseNumber(s, 0xFFFFFFFFu, "--devices")); })
      ->check(CLI::Range(1, 64));
  app.add_flag("-v,--verbose", verbose, "Also print every report received, as hex bytes");
  app.add_flag("-q,--quiet", quiet, "Print nothing but errors");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  ql::sim::Config config = *ql::sim::Preset(preset);
  if (boot_start) config.info.BootStart = *boot_start;
  if (erase_block) config.info.EraseBlockSize = static_cast<std::uint16_t>(*erase_block);
  if (write_block) config.info.WriteBlockSize = static_cast<std::uint16_t>(*write_block);
  if (const std::string conflict = ql::sim::ConfigConflict(config); !conflict.empty()) {
    std::fprintf(stderr, "quelloader-sim: inconsistent simulated device: %s\n", conflict.c_str());
    return 2;
  }
  if (!fault_text.empty()) {
    const auto at = fault_text.find_first_of("@:");
    const auto kind = ql::sim::FaultFromName(fault_text.substr(0, at));
    if (!kind) {
      std::fprintf(stderr, "quelloader-sim: --fault: unknown kind '%s'\n", fault_text.c_str());
      return 2;
    }
    config.fault.kind = *kind;
    try {
      config.fault.step = at == std::string::npos
                              ? 0
                              : static_cast<int>(ParseNumber(fault_text.substr(at + 1), 1000000, "--fault"));
    } catch (const CLI::ValidationError& e) {
      std::fprintf(stderr, "quelloader-sim: %s\n", e.what());
      return 2;
    }
  }

  if (!usb && (!udc.empty() || !manufacturer.empty() || !usb_id.empty() || come_back)) {
    std::fprintf(stderr, "quelloader-sim: --udc, --manufacturer, --usb-id and --come-back need --usb\n");
    return 2;
  }
  if (usb && devices > 1) {
    std::fprintf(stderr, "quelloader-sim: --devices needs /dev/uhid: with --usb, start one quelloader-sim a device\n");
    return 2;
  }
  if (usb) {
    ql::UsbServeOptions options;
    options.config = config;
    options.identity = {ql::kSimVendorId, ql::kSimProductId, name, serial, manufacturer};
    if (!usb_id.empty()) {
      const auto colon = usb_id.find(':');
      unsigned vid = 0, pid = 0;
      char extra = 0;
      if (colon == std::string::npos ||
          std::sscanf(usb_id.c_str(), "%x:%x%c", &vid, &pid, &extra) != 2 || vid > 0xFFFF || pid > 0xFFFF) {
        std::fprintf(stderr, "quelloader-sim: --usb-id: '%s' is not VID:PID in hex\n", usb_id.c_str());
        return 2;
      }
      options.identity.vendor_id = static_cast<std::uint16_t>(vid);
      options.identity.product_id = static_cast<std::uint16_t>(pid);
    }
    options.udc = udc;
    if (come_back) options.come_back_ms = *come_back;
    options.dump_flash = dump_flash;
    options.verbose = verbose;
    options.quiet = quiet;
    return ql::ServeUsbGadget(options);
  }

  // One /dev/uhid descriptor is one kernel device.
  std::vector<int> fds;
  for (int i = 0; i < devices; ++i) {
    const int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      const int error = errno;
      if (error == ENOENT || error == ENODEV || error == ENXIO) {
        std::fprintf(stderr,
                     "quelloader-sim: /dev/uhid is missing: this kernel has no uhid support loaded.\n"
                     "Load it with:  sudo modprobe uhid\n");
      } else if (error == EACCES || error == EPERM) {
        std::fprintf(stderr,
                     "quelloader-sim: /dev/uhid is not writable by this user (%s).\n"
                     "Run it as root (sudo quelloader-sim ...), or give your user access to /dev/uhid.\n",
                     std::strerror(error));
      } else {
        std::fprintf(stderr, "quelloader-sim: cannot open /dev/uhid: %s\n", std::strerror(error));
      }
      for (int f : fds) close(f);
      return 1;
    }
    fds.push_back(fd);
  }

  // SIGINT and SIGTERM arrive as readable data, handled on the loop.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  const int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);

  ql::BlockingEventLoop loop;
  std::vector<std::unique_ptr<ql::UhidBridge>> bridges;
  const auto close_all = [&] {
    if (signal_fd >= 0) close(signal_fd);
    for (int f : fds) close(f);
  };
  for (int i = 0; i < devices; ++i) {
    std::string device_serial = serial;
    std::string prefix;
    if (devices > 1) {
      char number[16];
      std::snprintf(number, sizeof number, "%04d", i + 1);
      device_serial = (serial.empty() ? std::string("SIM") : serial) + number;
      prefix = "[" + std::to_string(i + 1) + "] ";
    }
    auto bridge = std::make_unique<ql::UhidBridge>(fds[static_cast<std::size_t>(i)], loop, config,
                                                   ql::UhidIdentity{name, device_serial});
    if (!quiet) {
      bridge->log = [prefix](std::string_view line) {
        std::printf("%s%.*s\n", prefix.c_str(), static_cast<int>(line.size()), line.data());
        std::fflush(stdout);
      };
    }
    if (verbose && !quiet) {
      bridge->on_report = [prefix](std::span<const std::uint8_t> report) {
        std::printf("%sreport: %s\n", prefix.c_str(), ql::HexBytes(report).c_str());
        std::fflush(stdout);
      };
    }
    std::string error;
    if (!bridge->Create(&error)) {
      std::fprintf(stderr, "quelloader-sim: %s\n", error.c_str());
      for (auto& b : bridges) b->Destroy();
      close_all();
      return 1;
    }
    if (!quiet) {
      const auto& info = config.info;
      std::printf("%squelloader-sim: \"%s\"%s (%s, %s), bootloader at 0x%X, erase block %u, write block %u\n",
                  prefix.c_str(), name.c_str(), device_serial.empty() ? "" : (" serial " + device_serial).c_str(),
                  preset.c_str(), info.BootDeviceName.c_str(), static_cast<unsigned>(info.BootStart),
                  static_cast<unsigned>(info.EraseBlockSize), static_cast<unsigned>(info.WriteBlockSize));
      std::fflush(stdout);
    }
    bridges.push_back(std::move(bridge));
  }

  bool stop = false;
  bool broken = false;
  for (std::size_t i = 0; i < bridges.size(); ++i) {
    loop.watch_readable(fds[i], [&, i] {
      if (!bridges[i]->finished() && !bridges[i]->OnReadable()) {
        broken = true;
        stop = true;
      }
    });
  }
  if (signal_fd >= 0) {
    loop.watch_readable(signal_fd, [&] {
      signalfd_siginfo info{};
      while (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) stop = true;
    });
  }
  // Until interrupted, or until every device has left the bus.
  const auto all_finished = [&] {
    return std::all_of(bridges.begin(), bridges.end(), [](const auto& b) { return b->finished(); });
  };
  while (!stop && !all_finished()) loop.process_events(loop.now() + ql::from_ms(1000));
  for (auto& b : bridges) b->Destroy();

  int code = broken ? 1 : 0;
  if (broken) std::fprintf(stderr, "quelloader-sim: /dev/uhid closed unexpectedly\n");
  if (!dump_flash.empty()) {
    for (std::size_t i = 0; i < bridges.size(); ++i) {
      const std::string out = devices > 1 ? dump_flash + "-" + std::to_string(i + 1) : dump_flash;
      if (WriteFile(out, bridges[i]->model().flash())) {
        if (!quiet) std::printf("flash written to %s\n", out.c_str());
      } else {
        std::fprintf(stderr, "quelloader-sim: cannot write \"%s\": %s\n", out.c_str(), std::strerror(errno));
        code = 1;
      }
    }
  }
  close_all();
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quelloader-sim: %s\n", e.what());
    return 1;
  }
}
