// `quelloader-cli flash FILE`: loads the HEX file, finds the bootloader, asks
// it for its boot info, connects with the handshake and runs the upload.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/commands.h"
#include "cli/console.h"
#ifdef QUELLOADER_HAVE_HID
#include "cli/device_select.h"
#endif
#include "cli/device_options.h"
#include "cli/hex_input.h"
#include "cli/interrupt.h"
#include "core/blocking_event_loop.h"
#include "sim/simulated_bootloader.h"
#include "upload/upload_engine.h"

namespace ql::cli {

namespace {

constexpr std::int64_t kBootInfoTimeoutMs = 1000;
constexpr std::int64_t kHandshakeTimeoutMs = 500;

struct FlashOptions {
  std::string file;
  DeviceSelection device;
  std::string dump_flash;
  bool yes = false;
  bool verbose = false;
};

// The upload's front end on a terminal.
class CliUploadUi final : public UploadUi {
 public:
  CliUploadUi(Console& console, const FlashOptions& options, std::string device_name)
      : console_(console), options_(options), device_name_(std::move(device_name)) {}

  void AppendHistory(std::string_view line) override { console_.Line(line); }
  void AppendTerminal(std::string_view line) override {
    // Byte lines start with spaces; the step lines ("Erase...") show with -v.
    if (options_.verbose && !line.empty() && line.front() != ' ') console_.Line(line);
  }
  void ProgressSetMax(std::int64_t max) override { console_.ProgressSetMax(max); }
  void ProgressStep() override { console_.ProgressStep(7); }
  bool AskBootloaderArea() override {
    if (options_.yes) return true;
    if (::isatty(STDIN_FILENO) != 1) {
      console_.Line(kBootAreaQuestion);
      console_.Line("No terminal to answer on: answered No (--yes answers OK).");
      return false;
    }
    return console_.Ask(kBootAreaQuestion);
  }
  void FinishUpload() override {
    console_.ProgressDone();
    console_.Line("Disconnected.");
  }
  std::string DeviceName() override { return device_name_; }

 private:
  Console& console_;
  const FlashOptions& options_;
  std::string device_name_;
};

// Counts the data blocks among the packets sent: each CMD_WRITE announces
// how many bytes follow, one data block per packet.
class BlockCounter {
 public:
  void Packet(std::span<const std::uint8_t> p) {
    if (pending_bytes_ > 0) {
      ++blocks_;
      bytes_ += p.size();
      pending_bytes_ -= std::min<std::int64_t>(pending_bytes_, static_cast<std::int64_t>(p.size()));
      return;
    }
    if (p.size() == 8 && p[0] == START_MARK && p[1] == CMD_WRITE) {
      pending_bytes_ = p[6] | (p[7] << 8);
    }
  }
  std::int64_t blocks() const { return blocks_; }
  std::int64_t bytes() const { return bytes_; }

 private:
  std::int64_t pending_bytes_ = 0;
  std::int64_t blocks_ = 0;
  std::int64_t bytes_ = 0;
};

std::string Hex(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// Every packet sent is counted for the summary and, with -v, printed.
void CountPackets(Exchange& exchange, BlockCounter& counter, Console& console, bool verbose) {
  exchange.OnPacketSent = [&counter, &console, verbose](std::span<const std::uint8_t> packet) {
    counter.Packet(packet);
    if (verbose) console.Line(HexBytes(packet));
  };
}

// The end of an upload that was not interrupted: the summary after a
// success, and the exit code either way.
ExitCode ReportOutcome(Console& console, UploadOutcome outcome, const BlockCounter& counter, const FlashImage& image,
                       double seconds) {
  switch (outcome) {
    case UploadOutcome::Completed: {
      console.Line("Disconnected.");
      char summary[160];
      std::snprintf(summary, sizeof summary, "Wrote %lld bytes of a %lld-byte image in %lld blocks in %.2f s.",
                    static_cast<long long>(counter.bytes()), static_cast<long long>(image.ImageEnd()),
                    static_cast<long long>(counter.blocks()), seconds);
      console.Line(summary);
      return ExitCode::Success;
    }
    case UploadOutcome::Declined:
      console.Line("Upload declined: nothing was written.");
      return ExitCode::Failed;
    default:
      return ExitCode::Failed;
  }
}

#ifdef QUELLOADER_HAVE_HID
// The upload into the bootloader on the HID transport, found and connected
// through the device link as the window does it.
ExitCode RunDeviceFlash(const FlashOptions& o) {
  // The file is read and checked before the device hears anything; it is
  // loaded again under the family the device reports.
  FlashImage probe;
  if (!LoadHexForCommand(o.file, McuFamily::None, probe)) return ExitCode::HexRejected;

  Console console;
  BlockingEventLoop loop;
  Exchange exchange(loop);
  BlockCounter counter;
  CountPackets(exchange, counter, console, o.verbose);
  BootloaderSession session(loop, exchange, o.device.real, [&](std::string_view line) { console.Line(line); });
  InterruptWatch interrupt(loop, [&] { exchange.CancelWaits(); });
  const auto interrupted = [&] {
    console.ProgressDone();
    console.Line("Interrupted.");
    return ExitCode::Interrupted;
  };

  std::string message;
  const ExitCode found = session.Find(&message);
  if (InterruptWatch::Interrupted()) return interrupted();
  if (found != ExitCode::Success) {
    std::fprintf(stderr, "quelloader-cli: %s\n", message.c_str());
    return found;
  }
  const TBootInfo& info = exchange.BootInfo;
  FlashImage image;
  if (!LoadHexForCommand(o.file, FamilyFromMcuType(info.McuType), image)) return ExitCode::HexRejected;
  console.Line("Device: " + info.BootDeviceName + " (" + FamilyName(info.McuType) + ") at " + session.Path() +
               ", bootloader at " + Hex(info.BootStart) + ", erase block " + std::to_string(info.EraseBlockSize) +
               ", write block " + std::to_string(info.WriteBlockSize));

  if (session.Connect() != ExitCode::Success) {
    return InterruptWatch::Interrupted() ? interrupted() : ExitCode::Failed;
  }
  console.Line("Uploading:");
  CliUploadUi ui(console, o, session.link().RemovedDeviceName());
  const auto start = std::chrono::steady_clock::now();
  const UploadOutcome outcome = RunUpload(exchange, image, ui);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  session.link().Connected = false;
  console.ProgressDone();
  if (InterruptWatch::Interrupted() || outcome == UploadOutcome::Stopped) return interrupted();
  return ReportOutcome(console, outcome, counter, image, seconds);
}
#endif

ExitCode RunFlash(const FlashOptions& o) {
  if (!o.device.simulated()) {
#ifdef QUELLOADER_HAVE_HID
    if (!o.dump_flash.empty()) {
      std::fprintf(stderr, "quelloader-cli: --dump-flash needs --simulate\n");
      return ExitCode::Usage;
    }
    return RunDeviceFlash(o);
#else
    std::fprintf(stderr,
                 "quelloader-cli: no bootloader device support in this build; "
                 "use --simulate PRESET to try a simulated device\n");
    return ExitCode::NoDevice;
#endif
  }
  const sim::Config config = SimulatedConfig(o.device);
  // Overrides that contradict the preset's flash would simulate no device at all.
  if (const std::string conflict = sim::ConfigConflict(config); !conflict.empty()) {
    std::fprintf(stderr, "quelloader-cli: inconsistent simulated device: %s\n", conflict.c_str());
    return ExitCode::Usage;
  }

  // The file is read and checked before the device hears anything.
  FlashImage image;
  if (!LoadHexForCommand(o.file, FamilyFromMcuType(config.info.McuType), image)) return ExitCode::HexRejected;

  Console console;
  console.Line("Opened: " + o.file);
  BlockingEventLoop loop;
  Exchange exchange(loop);
  BlockCounter counter;
  CountPackets(exchange, counter, console, o.verbose);
  InterruptWatch interrupt(loop, [&] { exchange.CancelWaits(); });
  sim::SimDevice device(loop, config);
  device.AttachTo(exchange);

  const auto interrupted = [&] {
    console.ProgressDone();
    console.Line("Interrupted.");
    return ExitCode::Interrupted;
  };
  const auto dump = [&] {
    if (o.dump_flash.empty()) return true;
    if (WriteFile(o.dump_flash, device.flash())) return true;
    std::fprintf(stderr, "quelloader-cli: cannot write \"%s\": %s\n", o.dump_flash.c_str(), std::strerror(errno));
    return false;
  };

  // The bootloader's boot info: its family, block sizes and protected area.
  exchange.SendPlainCommand(CMD_BOOT_INFO);
  WaitResult r = exchange.WaitForResponse(CMD_BOOT_INFO, kBootInfoTimeoutMs);
  if (r == WaitResult::WaitStopped) return interrupted();
  if (r != WaitResult::WaitOk) {
    console.Line("USB HID device is not in bootloader mode.");
    console.Line("Reset device.");
    return ExitCode::NoDevice;
  }
  exchange.ApplyBlockSize();
  const TBootInfo& info = exchange.BootInfo;
  const std::string device_name = info.BootDeviceName;
  console.Line("Device: " + device_name + " (" +
               (info.McuType == 1 ? "PIC16" : info.McuType == 2 ? "PIC18" : "type " + std::to_string(info.McuType)) +
               "), bootloader at " + Hex(info.BootStart) + ", erase block " + std::to_string(info.EraseBlockSize) +
               ", write block " + std::to_string(info.WriteBlockSize));

  // Connect: the two handshake steps.
  console.Line("Waiting MCU response...");
  exchange.SendPlainCommand(CMD_HANDSHAKE_1);
  r = exchange.WaitForResponse(CMD_HANDSHAKE_1, kHandshakeTimeoutMs);
  if (r == WaitResult::WaitOk) {
    exchange.SendPlainCommand(CMD_HANDSHAKE_2);
    r = exchange.WaitForResponse(CMD_HANDSHAKE_2, kHandshakeTimeoutMs);
  }
  if (r == WaitResult::WaitStopped) return interrupted();
  if (r != WaitResult::WaitOk) {
    console.Line(ReportWaitError(r, device_name));
    console.Line("Disconnected.");
    return ExitCode::Failed;
  }
  console.Line("Connected.");

  console.Line("Uploading:");
  CliUploadUi ui(console, o, device_name);
  const auto start = std::chrono::steady_clock::now();
  const UploadOutcome outcome = RunUpload(exchange, image, ui);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  console.ProgressDone();

  const bool dumped = dump();
  if (InterruptWatch::Interrupted() || outcome == UploadOutcome::Stopped) return interrupted();
  const ExitCode code = ReportOutcome(console, outcome, counter, image, seconds);
  return code == ExitCode::Success && !dumped ? ExitCode::Failed : code;
}

}  // namespace

Command AddFlashCommand(CLI::App& app) {
  auto o = std::make_shared<FlashOptions>();
  CLI::App* cmd = app.add_subcommand("flash", "Upload a HEX file into the bootloader's device and restart it");
  cmd->add_option("FILE", o->file, "Intel HEX file")->required();
  AddDeviceOptions(*cmd, o->device);
  cmd->add_option("--dump-flash", o->dump_flash, "After the run, write the simulated device's whole flash to OUT")
      ->type_name("OUT");
  cmd->add_flag("-y,--yes", o->yes,
                "Answer OK when the file reaches into the bootloader area (those writes are ignored); "
                "without it the question is asked on the terminal, and answered No without one");
  cmd->add_flag("-v,--verbose", o->verbose, "Print every packet sent, as hex bytes");
  return {cmd, [o] { return RunFlash(*o); }};
}

}  // namespace ql::cli
