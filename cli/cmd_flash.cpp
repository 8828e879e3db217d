// `quelloader-cli flash FILE`: checks the options and the HEX file before any
// device hears anything, sets up the HID backend (the USB one, or the virtual
// one with simulated boards) and runs the flow of cli/production_line.h, the
// one flow for one board and for many.

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>

#include "cli/commands.h"
#ifdef QUELLOADER_HAVE_HID
#include "cli/device_select.h"
#include "cli/production_line.h"
#include "cli/simulated_boards.h"
#include "cli/terminal_answers.h"
#include "hid/platform_hid_backend.h"
#include "hid/virtual_hid_backend.h"
#endif
#include "cli/board_rows.h"
#include "cli/console.h"
#include "cli/device_options.h"
#include "cli/failure.h"
#include "cli/hex_input.h"
#include "cli/interrupt.h"
#include "cli/json_events.h"
#include "cli/production_log.h"
#include "cli/standard_streams.h"
#include "core/blocking_event_loop.h"
#include "core/debug_log.h"
#include "core/write_file.h"
#include "sim/fault_names.h"
#include "sim/simulated_bootloader.h"

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
};

// Where the documents named in --help are.
#ifdef _WIN32
constexpr const char* kDocs = "the documentation's ";
// What -vv adds besides the session's steps.
constexpr const char* kDebugSources = "reader and device-change errors";
#else
constexpr const char* kDocs = "/usr/share/doc/quelloader/";
constexpr const char* kDebugSources = "reader and udev errors";
#endif

[[noreturn]] void Usage(const std::string& message) { throw Failure(ExitCode::Usage, message); }

#ifdef QUELLOADER_HAVE_HID
// Whether the run can have several boards: its lines then name their board
// and a table ends it.
bool Several(const FlashOptions& o) { return o.all || o.loop || o.device.real.ports.size() > 1 || o.boards > 1; }

// Options that would do nothing are refused, naming the option: a script
// that passes one believes it does something.
void CheckUsage(const FlashOptions& o) {
  if (!o.device.simulated()) {
    if (!o.faults.empty()) Usage("--fault needs --simulate");
    if (o.boards > 1) Usage("--boards needs --simulate");
    if (o.device.boot_start) Usage("--boot-start needs --simulate");
    if (o.device.erase_block) Usage("--erase-block needs --simulate");
    if (o.device.write_block) Usage("--write-block needs --simulate");
    if (!o.dump_flash.empty()) Usage("--dump-flash needs --simulate");
  }
  for (const std::string& f : o.faults) ParseFault(f);
  if (o.count > 0 && !o.loop) Usage("--count needs --loop");
  if (o.all && o.loop)
    Usage("--all and --loop exclude each other: --all flashes the boards present, --loop each one as it comes");
  if (o.expect > 0 && !o.all) Usage("--expect needs --all");
  if (o.expect > 0 && o.device.real.wait_seconds == 0) {
    Usage("--expect needs --wait: how long to wait for the boards to appear");
  }
  if (!o.device.real.path.empty() && (o.all || o.loop)) Usage("--path names one board; use --port for several");
  if (!o.dump_flash.empty() && (o.boards > 1 || o.loop)) Usage("--dump-flash takes one board, not several");
  if (o.device.simulated()) {
    const sim::Config config = SimulatedConfig(o.device);
    // Overrides that contradict the preset's flash would simulate no device at all.
    if (const std::string conflict = sim::ConfigConflict(config); !conflict.empty()) {
      Usage("inconsistent simulated device: " + conflict);
    }
    CheckFaults(o.faults, o.boards, config, o.file, /*declined=*/!o.yes && !IsTerminal(STDIN_FILENO));
  }
}

ExitCode RunFlash(const FlashOptions& o) {
  CheckUsage(o);
  // The file is read and checked before any device hears anything; each
  // board loads it again under the family it reports.
  FlashImage probe;
  if (!LoadHexForCommand(o.file, McuFamily::None, probe)) throw QuietFailure(ExitCode::HexRejected);
  if (probe.ImageEnd() == 0) {
    throw Failure(ExitCode::HexRejected, "the HEX file " + o.file + " holds no data: nothing to upload");
  }
  // A log that cannot be written is found out before any board is touched.
  std::optional<ProductionLog> log;
  if (!o.log.empty()) {
    std::string error;
    log = ProductionLog::Open(o.log, error);
    if (!log) throw Failure(ExitCode::Failed, error);
  }
  BlockingEventLoop loop;
  // stdout and stderr through channels of their own: a reader that stops
  // holds up no board.
  StandardStreams streams(loop, o.json);
  std::optional<JsonEventWriter> json;
  if (o.json) json.emplace(*streams.out());
  std::unique_ptr<HidBackend> backend;
  VirtualHidBackend* virtual_backend = nullptr;
  if (o.device.simulated()) {
    auto owned = std::make_unique<VirtualHidBackend>(loop);
    virtual_backend = owned.get();
    backend = std::move(owned);
  } else {
    backend = MakePlatformHidBackend();
  }
  BoardRows rows(streams.err(), DrawsRows(STDERR_FILENO));
  streams.say = [&rows](const std::string& text) { rows.Line(text, BoardRows::Kind::Keep); };
  // -vv: the debug lines (some from reader threads) join the others on the
  // event thread, so the rows stay right and a stalled stderr holds up no one.
  struct DebugLines {
    DebugLines(EventLoop& loop, BoardRows& rows) {
      SetDebugSink([&loop, &rows, alive = alive](std::string line) {
        loop.post([&rows, alive, line = std::move(line)] {
          if (*alive) rows.Line(line);
        });
      });
    }
    ~DebugLines() {
      SetDebugSink({});
      *alive = false;
    }
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);
  } debug_lines(loop, rows);
  rows.Line("Opened: " + o.file);
  LineOptions options;
  // The log names the file wherever the command was run from.
  options.file = AbsolutePath(o.file);
  options.device = o.device.real;
  if (!options.device.path.empty()) options.device.path = CanonicalNode(options.device.path);
  options.all = o.all;
  options.expect = o.expect;
  options.loop = o.loop;
  options.count = o.count;
  options.yes = o.yes;
  options.ask = IsTerminal(STDIN_FILENO);
  options.verbose = o.verbose;
  options.several = Several(o);
  TerminalAnswers answers(loop, STDIN_FILENO);
  auto line = std::make_unique<ProductionLine>(loop, *backend, options, rows);
  line->json = json ? &*json : nullptr;
  line->log = log ? &*log : nullptr;
  line->answers = &answers;
  // Plugged in once the line is there; with --loop a board comes back after
  // its reset.
  std::unique_ptr<SimulatedBoards> simulated;
  if (virtual_backend != nullptr) {
    simulated = std::make_unique<SimulatedBoards>(loop, *virtual_backend, SimulatedConfig(o.device), o.boards,
                                                  o.faults, o.loop);
  }
  // Ctrl+C, SIGTERM and SIGHUP: the first stops every board in step, a
  // second abandons.
  StopSignalWatch stop(loop, [&](int signal) {
    if (line) line->Stop(StopSignalWatch::StopSignalExitCode(signal));
  });
  ExitCode code = line->Run();
  // The simulated device's whole flash, whatever the upload's end.
  if (simulated && !o.dump_flash.empty()) {
    if (const int error = WriteFile(o.dump_flash, simulated->flash()); error != 0) {
      rows.Line("quelloader-cli: " + WriteFailureText(o.dump_flash, error), BoardRows::Kind::Keep);
      if (code == ExitCode::Success) code = ExitCode::Failed;
    }
  }
  simulated.reset();
  line.reset();
  // What is still queued for a reader that stopped; a stop signal now gives it up.
  const int signals = StopSignalWatch::Count();
  const bool drained = streams.Finish([signals] { return StopSignalWatch::Count() > signals; });
  if (!drained && StopSignalWatch::Stopped() && code == ExitCode::Success) code = StopSignalWatch::StopCode();
  return code;
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
                "without it the question is asked on the terminal (one board at a time, the others going on), "
                "and answered No without one");
  const std::string line = "Production line";
  cmd->add_flag("--all", o->all, "Flash every attached bootloader at once (one session each)")->group(line);
  cmd->add_option("--expect", o->expect, "With --all and --wait: start once N bootloaders are attached")
      ->type_name("N")
      ->transform(CommandLineNumber())
      ->check(CLI::Range(1, 1000))
      ->group(line);
  cmd->add_flag("--loop", o->loop,
                "Stay running and flash each bootloader as it is plugged in, once per appearance; Ctrl+C ends "
                "(exit 1 when a board failed, else 130)")
      ->group(line);
  cmd->add_option("--count", o->count, "With --loop: end after N boards")
      ->type_name("N")
      ->transform(CommandLineNumber())
      ->check(CLI::Range(1, 1000000))
      ->group(line);
  cmd->add_flag("--json", o->json,
                "JSON Lines on stdout: one object per event (board found and lost, phase, progress, result, "
                "summary), as " + std::string(kDocs) + "json-events.md describes; the lines for people stay on "
                "stderr")
      ->group(line);
  cmd->add_option("--log", o->log,
                  "Append one JSON line per board to FILE (time, port, serial, device, HEX file, SHA-256 of "
                  "the image, result, seconds), each in one atomic append, as " + std::string(kDocs) +
                      "production-log.md describes")
      ->type_name("FILE")
      ->group(line);
  cmd->add_option("--boards", o->boards, "With --simulate: N simulated boards, on ports sim-1 ... sim-N")
      ->type_name("N")
      ->transform(CommandLineNumber())
      ->check(CLI::Range(1, 64))
      ->group("Device selection");
  cmd->add_option("--fault", o->faults,
                  "With --simulate: make the device misbehave at packet STEP (" + std::string(sim::kFaultNames) +
                      "), a step the flash reaches; :BOARD for one of --boards N; one per board")
      ->type_name("KIND[@STEP][:BOARD]")
      ->group("Device selection");
  cmd->add_flag("-v,--verbose", o->verbose,
                "Print every packet sent, as hex bytes; -vv also timestamped debug lines (" +
                    std::string(kDebugSources) + ", the session's steps)");
  return {cmd, [o] {
            if (o->verbose >= 2) SetDebugEnabled(true);
            return RunFlash(*o);
          }};
}

}  // namespace ql::cli
