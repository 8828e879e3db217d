// `quelloader-cli flash FILE`: loads the HEX file, finds the bootloader (a
// USB device, or a simulated one), asks it for its boot info, connects with
// the handshake and runs the upload through the bootloader's session.

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

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
#include "cli/json_events.h"
#include "cli/production_line.h"
#include "cli/production_log.h"
#include "cli/standard_streams.h"
#include "hid/linux_hid_backend.h"
#include "sim/fault_names.h"
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
  // The production line.
  bool all = false;
  int expect = 0;
  bool loop = false;
  int count = 0;
  int boards = 1;                   // simulated boards
  std::vector<std::string> faults;  // KIND[@STEP][:BOARD]
  bool json = false;
  std::string log;
  bool Line() const {
#ifdef QUELLOADER_HAVE_HID
    if (device.real.ports.size() > 1) return true;
#endif
    return all || loop || boards > 1 || json || !log.empty();
  }
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
      console.Line("Disconnected.", Console::Kind::Keep);
      char summary[160];
      std::snprintf(summary, sizeof summary, "Wrote %lld bytes of a %lld-byte image in %lld blocks in %.2f s.",
                    static_cast<long long>(counter.bytes()), static_cast<long long>(image.ImageEnd()),
                    static_cast<long long>(counter.blocks()), seconds);
      console.Line(summary, Console::Kind::Keep);
      return ExitCode::Success;
    }
    case UploadOutcome::Declined:
      console.Line("Upload declined: nothing was written.", Console::Kind::Keep);
      return ExitCode::Failed;
    default:
      return ExitCode::Failed;
  }
}

// The simulated boards of --simulate: N of them on the virtual backend, each
// with its port and serial when there are several, and its own fault. With
// `come_back`, a board that left the bus (its reset) returns in its
// bootloader two seconds later, as a board whose program jumps back would.
class SimulatedBoards {
 public:
  SimulatedBoards(EventLoop& loop, VirtualHidBackend& backend, const FlashOptions& o, bool come_back)
      : loop_(loop), backend_(backend), come_back_(come_back) {
    const sim::Config base = SimulatedConfig(o.device);
    for (int i = 1; i <= o.boards; ++i) {
      Slot slot;
      slot.config = base;
      if (o.boards > 1) {
        slot.spec.port = "sim-" + std::to_string(i);
        char serial[16];
        std::snprintf(serial, sizeof serial, "SIM%04d", i);
        slot.spec.serial = serial;
      }
      for (const std::string& text : o.faults) {
        const auto [fault, board] = ParseFault(text);
        if (board == 0 || board == i) slot.config.fault = fault;
      }
      slots_.push_back(std::move(slot));
    }
    for (Slot& slot : slots_) slot.device = std::make_unique<VirtualSimBootloader>(backend_, loop_, slot.config, slot.spec);
    if (come_back_) Watch();
  }
  ~SimulatedBoards() {
    if (timer_) loop_.cancel(timer_);
  }
  // The first board's flash (--dump-flash).
  const std::vector<std::uint8_t>& flash() const { return slots_.front().device->model().flash(); }

  // KIND[@STEP][:BOARD]; board 0 for every board.
  static std::pair<sim::Fault, int> ParseFault(const std::string& text) {
    const auto colon = text.find(':');
    const std::string head = text.substr(0, colon);
    const auto at = head.find('@');
    const auto kind = sim::FaultFromName(head.substr(0, at));
    if (!kind) {
      throw Failure(ExitCode::Usage, "--fault: unknown kind '" + head.substr(0, at) + "' (one of " +
                                         std::string(sim::kFaultNames) + ")");
    }
    sim::Fault fault{*kind, 0};
    if (at != std::string::npos) fault.step = static_cast<int>(ql::cli::ParseNumber(head.substr(at + 1), 1000000, "--fault"));
    const int board =
        colon == std::string::npos ? 0 : static_cast<int>(ql::cli::ParseNumber(text.substr(colon + 1), 1000, "--fault"));
    return {fault, board};
  }

 private:
  struct Slot {
    sim::Config config;
    VirtualHidSpec spec;
    std::unique_ptr<VirtualSimBootloader> device;
    Micros left_at = -1;
  };
  void Watch() {
    timer_ = loop_.schedule_after(from_ms(100), [this] {
      timer_ = 0;
      for (Slot& slot : slots_) {
        if (slot.device->attached()) continue;
        if (slot.left_at < 0) slot.left_at = loop_.now();
        if (loop_.now() - slot.left_at < from_ms(2000)) continue;
        slot.left_at = -1;
        // Back in its bootloader, as a board fresh from the shelf.
        slot.device = std::make_unique<VirtualSimBootloader>(backend_, loop_, slot.config, slot.spec);
      }
      Watch();
    });
  }

  EventLoop& loop_;
  VirtualHidBackend& backend_;
  bool come_back_;
  std::vector<Slot> slots_;
  TimerId timer_ = 0;
};

// Several boards at once (--all, --loop, several --port, --boards N).
ExitCode RunLine(const FlashOptions& o) {
  if (!o.dump_flash.empty()) throw Failure(ExitCode::Usage, "--dump-flash takes one board, not several");
  if (o.expect > 0 && o.device.real.wait_seconds == 0) {
    throw Failure(ExitCode::Usage, "--expect needs --wait: how long to wait for the boards to appear");
  }
  if (o.count > 0 && !o.loop) throw Failure(ExitCode::Usage, "--count needs --loop");
  if (!o.device.real.path.empty() && (o.all || o.loop)) {
    throw Failure(ExitCode::Usage, "--path names one board; use --port for several");
  }
  // A log that cannot be written is found out before any board is touched.
  std::optional<ProductionLog> log;
  if (!o.log.empty()) {
    std::string error;
    log = ProductionLog::Open(o.log, error);
    if (!log) throw Failure(ExitCode::Failed, error);
  }
  FlashImage probe;
  if (!LoadHexForCommand(o.file, McuFamily::None, probe)) throw QuietFailure(ExitCode::HexRejected);

  BlockingEventLoop loop;
  StandardStreams streams(loop, o.json);
  std::optional<JsonEventWriter> json;
  if (o.json) json.emplace(*streams.out());
  std::unique_ptr<HidBackend> backend;
  VirtualHidBackend* virtual_backend = nullptr;
  if (o.device.simulated()) {
    if (const std::string conflict = sim::ConfigConflict(SimulatedConfig(o.device)); !conflict.empty()) {
      throw Failure(ExitCode::Usage, "inconsistent simulated device: " + conflict);
    }
    auto owned = std::make_unique<VirtualHidBackend>(loop);
    virtual_backend = owned.get();
    backend = std::move(owned);
  } else {
    backend = MakeLinuxHidBackend();
  }
  BoardRows rows(streams.err(), ::isatty(STDERR_FILENO) == 1);
  streams.say = [&rows](const std::string& text) { rows.Line(text, BoardRows::Kind::Keep); };
  rows.Line("Opened: " + o.file);
  LineOptions options;
  // The log names the file wherever the command was run from.
  char resolved[PATH_MAX];
  options.file = ::realpath(o.file.c_str(), resolved) != nullptr ? std::string(resolved) : o.file;
  options.device = o.device.real;
  options.all = o.all;
  options.expect = o.expect;
  options.loop = o.loop;
  options.count = o.count;
  options.yes = o.yes;
  options.verbose = o.verbose;
  auto line = std::make_unique<ProductionLine>(loop, *backend, options, rows);
  line->json = json ? &*json : nullptr;
  line->log = log ? &*log : nullptr;
  std::unique_ptr<SimulatedBoards> simulated;
  if (virtual_backend != nullptr) simulated = std::make_unique<SimulatedBoards>(loop, *virtual_backend, o, o.loop);
  StopSignalWatch stop(loop, [&](int) {
    if (line) line->Stop();
  });
  ExitCode code = line->Run();
  simulated.reset();
  line.reset();
  // What is still queued for a reader that stopped; a stop signal now gives it up.
  const int signals = StopSignalWatch::Count();
  const bool drained = streams.Finish([signals] { return StopSignalWatch::Count() > signals; });
  if (StopSignalWatch::Stopped() && (code == ExitCode::Interrupted || !drained)) code = StopSignalWatch::StopCode();
  return code;
}

// The upload: the file is read and checked, the bootloader found and asked
// for its boot info, connected and written through its session, as the
// window does it. A simulated bootloader (--simulate) is one more device on
// a virtual HID backend, so it runs the very same steps.
ExitCode RunFlash(const FlashOptions& o) {
  for (const std::string& f : o.faults) SimulatedBoards::ParseFault(f);  // usage errors first
  if (!o.faults.empty() && !o.device.simulated()) throw Failure(ExitCode::Usage, "--fault needs --simulate");
  if (o.boards > 1 && !o.device.simulated()) throw Failure(ExitCode::Usage, "--boards needs --simulate");
  if (o.Line()) return RunLine(o);
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

  StandardStreams streams(loop, false);
  Console console(streams.err());
  console.Line("Opened: " + o.file);
  Exchange exchange(loop);
  BlockCounter counter;
  CountPackets(exchange, counter, console, o.verbose > 0);
  BootloaderSession session(loop, exchange, o.device.real, [&](std::string_view line) { console.Line(line); },
                            std::move(backend));
  // Plugged in once the session (which owns the backend) is there, so that
  // it leaves the bus before the backend goes.
  std::unique_ptr<SimulatedBoards> simulated;
  if (virtual_backend != nullptr) simulated = std::make_unique<SimulatedBoards>(loop, *virtual_backend, o, false);
  CliUploadUi ui(console, o, session);
  session.SetUploadView(ui);
  StopSignalWatch stop(loop, [&](int) { session.link().Stop(); });
  const auto interrupted = [&] {
    console.ProgressDone();
    console.Line("Interrupted.", Console::Kind::Keep);
    return StopSignalWatch::StopCode();
  };
  // The simulated device's whole flash, whatever the upload's end.
  const auto dump = [&] {
    if (!simulated || o.dump_flash.empty()) return true;
    const int error = WriteFile(o.dump_flash, simulated->flash());
    if (error == 0) return true;
    console.Line("quelloader-cli: " + WriteFailureText(o.dump_flash, error), Console::Kind::Keep);
    return false;
  };

  std::string message;
  const ExitCode found = session.Find(&message);
  if (StopSignalWatch::Stopped()) return interrupted();
  if (found != ExitCode::Success) throw Failure(found, message);
  const TBootInfo& info = exchange.BootInfo;
  FlashImage image;
  if (!LoadHexForCommand(o.file, FamilyFromMcuType(info.McuType), image)) throw QuietFailure(ExitCode::HexRejected);
  console.Line("Device: " + info.BootDeviceName + " (" + ql::FamilyName(info.McuType) + ") at " + session.Path() +
               ", bootloader at " + Hex(info.BootStart) + ", erase block " + std::to_string(info.EraseBlockSize) +
               ", write block " + std::to_string(info.WriteBlockSize));

  if (session.Connect() != ExitCode::Success) {
    return StopSignalWatch::Stopped() ? interrupted() : ExitCode::Failed;
  }
  console.Line("Uploading:");
  const auto start = std::chrono::steady_clock::now();
  const UploadOutcome outcome = session.link().Upload(image);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  session.link().Connected = false;
  console.ProgressDone();
  const bool dumped = dump();
  if (StopSignalWatch::Stopped() || outcome == UploadOutcome::Stopped) return interrupted();
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
  const std::string line = "Production line";
  cmd->add_flag("--all", o->all, "Flash every attached bootloader at once (one session each)")->group(line);
  cmd->add_option("--expect", o->expect, "With --wait: start once N bootloaders are attached")
      ->type_name("N")
      ->transform(CommandLineNumber())
      ->check(CLI::Range(1, 1000))
      ->group(line);
  cmd->add_flag("--loop", o->loop,
                "Stay running and flash each bootloader as it is plugged in, once per appearance; Ctrl+C ends")
      ->group(line);
  cmd->add_option("--count", o->count, "With --loop: end after N boards")
      ->type_name("N")
      ->transform(CommandLineNumber())
      ->check(CLI::Range(1, 1000000))
      ->group(line);
  cmd->add_flag("--json", o->json,
                "JSON Lines on stdout: one object per event (board found and lost, phase, progress, result, "
                "summary), as docs/json-events.md describes; the lines for people stay on stderr")
      ->group(line);
  cmd->add_option("--log", o->log,
                  "Append one JSON line per board to FILE (time, port, serial, device, HEX file, SHA-256 of "
                  "the image, result, seconds), each in one atomic append")
      ->type_name("FILE")
      ->group(line);
  cmd->add_option("--boards", o->boards, "With --simulate: N simulated boards, on ports sim-1 ... sim-N")
      ->type_name("N")
      ->transform(CommandLineNumber())
      ->check(CLI::Range(1, 64))
      ->group("Device selection");
  cmd->add_option("--fault", o->faults,
                  "With --simulate: make the device misbehave at packet STEP (" + std::string(sim::kFaultNames) +
                      "); :BOARD for one of --boards N; repeatable")
      ->type_name("KIND[@STEP][:BOARD]")
      ->group("Device selection");
  cmd->add_flag("-v,--verbose", o->verbose,
                "Print every packet sent, as hex bytes; -vv also timestamped debug lines (reader and udev "
                "errors, the session's steps)");
  return {cmd, [o] {
            if (o->verbose >= 2) SetDebugEnabled(true);
            return RunFlash(*o);
          }};
}

}  // namespace ql::cli
