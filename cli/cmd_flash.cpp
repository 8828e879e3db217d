// `quelloader-cli flash FILE`: loads the HEX file, finds the bootloader (a
// USB device, or a simulated one), asks it for its boot info, connects with
// the handshake and runs the upload through the bootloader's session.

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
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#endif
#include "cli/device_options.h"
#include "cli/failure.h"
#include "cli/hex_input.h"
#include "cli/interrupt.h"
#include "core/blocking_event_loop.h"
#include "core/debug_log.h"
#include "core/mcu_family.h"
#include "core/write_file.h"
#include "sim/simulated_bootloader.h"
#include "upload/upload_engine.h"

namespace ql::cli {

namespace {

struct FlashOptions {
  std::string file;
  DeviceSelection device;
  std::string dump_flash;
  bool yes = false;
  int verbose = 0;  // -v: every packet; -vv: the debug channel too
};

#ifdef QUELLOADER_HAVE_HID
// The upload's front end on a terminal.
class CliUploadUi final : public UploadUi {
 public:
  CliUploadUi(Console& console, const FlashOptions& options, BootloaderSession& session)
      : console_(console), options_(options), session_(session) {}

  void AppendHistory(std::string_view line) override { console_.Line(line); }
  void AppendTerminal(std::string_view line) override {
    // Byte lines start with spaces; the step lines ("Erase...") show with -v.
    if (options_.verbose > 0 && !line.empty() && line.front() != ' ') console_.Line(line);
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
  std::string DeviceName() override { return session_.link().RemovedDeviceName(); }

 private:
  Console& console_;
  const FlashOptions& options_;
  BootloaderSession& session_;
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

// The upload: the file is read and checked, the bootloader found and asked
// for its boot info, connected and written through its session, as the
// window does it. A simulated bootloader (--simulate) is one more device on
// a virtual HID backend, so it runs the very same steps.
ExitCode RunFlash(const FlashOptions& o) {
  BlockingEventLoop loop;
  std::unique_ptr<HidBackend> backend;
  VirtualHidBackend* virtual_backend = nullptr;
  sim::Config config;
  if (o.device.simulated()) {
    config = SimulatedConfig(o.device);
    // Overrides that contradict the preset's flash would simulate no device at all.
    if (const std::string conflict = sim::ConfigConflict(config); !conflict.empty()) {
      throw Failure(ExitCode::Usage, "inconsistent simulated device: " + conflict);
    }
    auto owned = std::make_unique<VirtualHidBackend>(loop);
    virtual_backend = owned.get();
    backend = std::move(owned);
  } else if (!o.dump_flash.empty()) {
    throw Failure(ExitCode::Usage, "--dump-flash needs --simulate");
  }

  // The file is read and checked before the device hears anything; it is
  // loaded again under the family the device reports.
  FlashImage probe;
  if (!LoadHexForCommand(o.file, McuFamily::None, probe)) throw QuietFailure(ExitCode::HexRejected);

  Console console;
  console.Line("Opened: " + o.file);
  Exchange exchange(loop);
  BlockCounter counter;
  CountPackets(exchange, counter, console, o.verbose > 0);
  BootloaderSession session(loop, exchange, o.device.real, [&](std::string_view line) { console.Line(line); },
                            std::move(backend));
  // Plugged in once the session (which owns the backend) is there, so that
  // it leaves the bus before the backend goes.
  std::unique_ptr<VirtualSimBootloader> simulated;
  if (virtual_backend != nullptr) simulated = std::make_unique<VirtualSimBootloader>(*virtual_backend, loop, config);
  CliUploadUi ui(console, o, session);
  session.SetUploadView(ui);
  InterruptWatch interrupt(loop, [&] { session.link().Stop(); });
  const auto interrupted = [&] {
    console.ProgressDone();
    console.Line("Interrupted.");
    return ExitCode::Interrupted;
  };
  // The simulated device's whole flash, whatever the upload's end.
  const auto dump = [&] {
    if (!simulated || o.dump_flash.empty()) return true;
    const int error = WriteFile(o.dump_flash, simulated->model().flash());
    if (error == 0) return true;
    std::fprintf(stderr, "quelloader-cli: %s\n", WriteFailureText(o.dump_flash, error).c_str());
    return false;
  };

  std::string message;
  const ExitCode found = session.Find(&message);
  if (InterruptWatch::Interrupted()) return interrupted();
  if (found != ExitCode::Success) throw Failure(found, message);
  const TBootInfo& info = exchange.BootInfo;
  FlashImage image;
  if (!LoadHexForCommand(o.file, FamilyFromMcuType(info.McuType), image)) throw QuietFailure(ExitCode::HexRejected);
  console.Line("Device: " + info.BootDeviceName + " (" + ql::FamilyName(info.McuType) + ") at " + session.Path() +
               ", bootloader at " + Hex(info.BootStart) + ", erase block " + std::to_string(info.EraseBlockSize) +
               ", write block " + std::to_string(info.WriteBlockSize));

  if (session.Connect() != ExitCode::Success) {
    return InterruptWatch::Interrupted() ? interrupted() : ExitCode::Failed;
  }
  console.Line("Uploading:");
  const auto start = std::chrono::steady_clock::now();
  const UploadOutcome outcome = session.link().Upload(image);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  session.link().Connected = false;
  console.ProgressDone();
  const bool dumped = dump();
  if (InterruptWatch::Interrupted() || outcome == UploadOutcome::Stopped) return interrupted();
  const ExitCode code = ReportOutcome(console, outcome, counter, image, seconds);
  return code == ExitCode::Success && !dumped ? ExitCode::Failed : code;
}
#else
ExitCode RunFlash(const FlashOptions&) {
  throw Failure(ExitCode::NoDevice, "no bootloader device support in this build");
}
#endif

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
  cmd->add_flag("-v,--verbose", o->verbose,
                "Print every packet sent, as hex bytes; -vv also timestamped debug lines (reader and udev "
                "errors, the session's steps)");
  return {cmd, [o] {
            if (o->verbose >= 2) SetDebugEnabled(true);
            return RunFlash(*o);
          }};
}

}  // namespace ql::cli
