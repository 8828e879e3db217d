// The multi-board soak: whole production-line runs of `quelloader-cli flash`
// with one to eight simulated boards on the virtual HID backend, all on one
// event loop in virtual time. Each run draws the line's mode (--all with the
// boards present, --all --expect N --wait, --loop --count N), its --port
// choice and --yes, a HEX file of random size and bytes, and per board a
// preset and layout, a fault of the simulated bootloader at a random step
// (or one the HID side offers: no access, reports too short, a node udev is
// still setting up), its serial and port (or none), the times it is plugged
// in and pulled out (some come late, while others upload; some come back),
// and for the whole line a stop request (Ctrl+C) at a random time.
//
// The boards are driven through the production line itself, the class the
// command line runs for --all/--expect/--loop, on the virtual backend that
// --simulate uses: it is deterministic in virtual time (every plug, unplug
// and stop is a timer on the loop, at times that never coincide), so the
// product's own way of running several boards is what is soaked, with its
// claiming, its per-board lines, its results and its table.
//
// Invariants checked per board after every run, worked out here and in
// tests/support from the layout rules and the line's rules, never from the
// product's code: which boards the line takes (those present when it starts,
// or each as it comes with --loop, up to --count, never one twice); after a
// success the flash equals the layout oracle and the device saw exactly the
// planned erases and writes and one reset; nothing at or above the bootloader
// start is ever erased or written (the model's own record); a board without
// a fault of its own (no device fault that struck, not pulled, no stop)
// ends exactly as the rules say for its layout and the file; every line of a
// board carries its own port and serial, a removal names its own device; a
// stopped board's flash holds only planned bytes and it answers a boot-info
// request and the handshake afterwards; the results, the table, the summary
// line, the --json events and the exit code agree with the boards.
//
// QUELLOADER_MULTI_SOAK_COUNT  runs (default 150, 50 under AddressSanitizer; the full run is 10000)
// QUELLOADER_MULTI_SOAK_SEED   first run's seed (default fixed); run i uses
//                              seed + i, so a failing run reruns alone with
//                              QUELLOADER_MULTI_SOAK_SEED=<its seed> QUELLOADER_MULTI_SOAK_COUNT=1

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/json_events.h"
#include "cli/production_line.h"
#include "core/virtual_event_loop.h"
#include "hid/hid_controller.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "session/session.h"
#include "tests/soak/soak_oracle.h"
#include "tests/support/expected_flash.h"

namespace ql {
namespace {

using cli::BoardResult;
using cli::ExitCode;
using test::EnvNumber;

// ---- One run's plan --------------------------------------------------------------

enum class Mode { All, Expect, Loop };
const char* ModeName(Mode m) { return m == Mode::All ? "--all" : m == Mode::Expect ? "--all --expect" : "--loop"; }

// The names the command line's --fault takes.
const char* FaultName(sim::FaultKind k) {
  switch (k) {
    case sim::FaultKind::NoAnswer: return "no-answer";
    case sim::FaultKind::WrongAnswer: return "wrong-answer";
    case sim::FaultKind::GarbageBootInfo: return "garbage-boot-info";
    case sim::FaultKind::ShortBootInfo: return "short-boot-info";
    case sim::FaultKind::Silent: return "silent";
    case sim::FaultKind::Unplug: return "unplug";
    case sim::FaultKind::Deaf: return "deaf";
    case sim::FaultKind::None: break;
  }
  return "none";
}

// What the HID side can do wrong besides the bootloader's own faults.
enum class Trouble { None, NoAccess, ShortReports };

// One board's appearance on the bus: plugged in at `plug_at` (0: before the
// line starts), pulled out from outside at `unplug_at` (-1: never).
struct Appearance {
  std::string preset;
  test::LayoutDraw layout;
  sim::Fault fault;
  Trouble trouble = Trouble::None;
  std::string port, serial;
  Micros plug_at = 0;
  Micros unplug_at = -1;
  // A node udev is still setting up (not yet open for writing) until it
  // announces it at `ready_at`; -1: ready when plugged.
  Micros ready_at = -1;
  Micros Ready() const { return ready_at >= 0 ? ready_at : plug_at; }
  int returns_as = -1;  // the appearance it comes back as, or -1

  sim::Config Device() const {
    sim::Config c = *sim::Preset(preset);
    if (layout.boot_start != 0) c.info.BootStart = layout.boot_start;
    if (layout.write_block != 0) c.info.WriteBlockSize = layout.write_block;
    c.fault = fault;
    return c;
  }
  // What its lines start with: its port (its node when it has none) and
  // its serial, if any.
  std::string Label(const std::string& path) const {
    return (port.empty() ? path : port) + (serial.empty() ? "" : " " + serial);
  }
};

struct Plan {
  std::uint64_t seed = 0;
  Mode mode = Mode::All;
  int expect = 0;  // --expect, with --wait=wait_seconds
  int wait_seconds = 0;
  int count = 0;                   // --count
  std::vector<std::string> ports;  // --port, each; empty: any
  bool yes = true;
  Micros stop_at = -1;  // Ctrl+C; -1 none
  bool mouse = false;   // a HID device that is no bootloader, attached throughout
  std::int64_t length = 0;
  std::vector<Appearance> boards;

  bool Wanted(const Appearance& a) const {
    return ports.empty() || std::find(ports.begin(), ports.end(), a.port) != ports.end();
  }
  std::string Describe() const {
    std::ostringstream s;
    s << "seed " << seed << " (rerun: QUELLOADER_MULTI_SOAK_SEED=" << seed << " QUELLOADER_MULTI_SOAK_COUNT=1): "
      << ModeName(mode);
    if (mode == Mode::Expect) s << " " << expect << " --wait=" << wait_seconds;
    if (mode == Mode::Loop) s << " --count " << count;
    for (const auto& p : ports) s << " --port " << p;
    s << (yes ? " --yes" : "") << ", image " << length << " bytes";
    if (stop_at >= 0) s << ", stop at " << stop_at << " us";
    if (mouse) s << ", a mouse";
    for (std::size_t i = 0; i < boards.size(); ++i) {
      const Appearance& a = boards[i];
      s << "\n    board " << i << " [" << a.Label("no port") << "] " << a.preset;
      if (a.layout.boot_start != 0) s << " bootloader at " << a.layout.boot_start << " write block " << a.layout.write_block;
      if (a.fault.kind != sim::FaultKind::None) s << ", fault " << FaultName(a.fault.kind) << "@" << a.fault.step;
      if (a.trouble == Trouble::NoAccess) s << ", no access";
      if (a.trouble == Trouble::ShortReports) s << ", reports too short";
      s << ", plugged at " << a.plug_at << " us";
      if (a.ready_at >= 0) s << ", set up by udev at " << a.ready_at << " us";
      if (a.unplug_at >= 0) s << ", pulled at " << a.unplug_at << " us";
      if (a.returns_as >= 0) s << ", comes back as board " << a.returns_as;
    }
    return s.str();
  }
};

Micros At(std::int64_t ms, int slot) { return ms * 1000 + 1 + slot; }  // never two events at once

Plan MakePlan(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Plan p;
  p.seed = seed;
  const int n = std::uniform_int_distribution<int>(1, 8)(rng);
  p.mode = static_cast<Mode>(std::uniform_int_distribution<int>(0, 2)(rng));
  p.yes = std::bernoulli_distribution(0.7)(rng);
  static const char* kPresets[] = {"pic18", "pic18j", "pic16", "pic18j"};  // pic18j carries the large images
  for (int i = 0; i < n; ++i) {
    Appearance a;
    a.preset = kPresets[std::uniform_int_distribution<int>(0, 3)(rng)];
    std::mt19937_64 layout(seed ^ 0x5DEECE66Dull ^ (static_cast<std::uint64_t>(i) << 40));
    a.layout = test::DrawLayout(layout, *sim::Preset(a.preset));
    a.port = "1-" + std::to_string(i + 1);
    a.serial = "QB" + std::to_string(1000 + i);
    p.boards.push_back(a);
  }
  // Boards without a serial number, or all with the same one (a batch
  // programmed alike), or one on a hub that does not tell its port.
  {
    std::mt19937_64 names(seed ^ 0xC2B2AE3D27D4EB4Full);
    const bool same_serial = std::bernoulli_distribution(0.1)(names);
    for (Appearance& a : p.boards) {
      if (same_serial) a.serial = "QB0000";
      if (std::bernoulli_distribution(0.15)(names)) a.serial.clear();
      if (std::bernoulli_distribution(0.08)(names)) a.port.clear();
    }
  }
  // One file for every board: sized to the edges of one board's layout.
  p.length = test::PickLength(rng, p.boards[std::uniform_int_distribution<int>(0, n - 1)(rng)].Device());
  for (Appearance& a : p.boards) {
    const sim::Config c = a.Device();
    // Boot info, the handshake, then the upload's steps.
    const std::int64_t steps = 1 + 2 + 1 + 2 * (p.length / c.info.EraseBlockSize + 1) + 4;
    a.fault = test::DrawFault(rng, steps, 1).fault;  // the line's stop is drawn below, for every board at once
    const double t = std::uniform_real_distribution<double>(0, 1)(rng);
    a.trouble = t < 0.03 ? Trouble::NoAccess : t < 0.06 ? Trouble::ShortReports : Trouble::None;
  }
  for (int i = 0; i < n; ++i) {
    Appearance& a = p.boards[i];
    switch (p.mode) {
      case Mode::All:
        a.plug_at = std::bernoulli_distribution(0.75)(rng) ? 0 : At(std::uniform_int_distribution<int>(1, 3000)(rng), i);
        break;
      case Mode::Expect:
        a.plug_at = At(std::uniform_int_distribution<int>(0, 3000)(rng), i);
        break;
      case Mode::Loop:
        a.plug_at = At(std::uniform_int_distribution<int>(0, 6000)(rng), i);
        break;
    }
    if (std::bernoulli_distribution(0.08)(rng) && a.trouble == Trouble::None)
      a.ready_at = a.plug_at + At(std::uniform_int_distribution<int>(1, 800)(rng), 24 + i) + 650;
    if (std::bernoulli_distribution(0.12)(rng))
      a.unplug_at = a.plug_at + At(std::uniform_int_distribution<int>(0, 4000)(rng), 8 + i) + 200;
  }
  // Some pulled boards come back on their port, as themselves.
  for (int i = 0; i < n; ++i) {
    if (p.boards[i].unplug_at < 0 || !std::bernoulli_distribution(0.3)(rng)) continue;
    Appearance back = p.boards[i];
    back.plug_at = p.boards[i].unplug_at + At(std::uniform_int_distribution<int>(1, 2000)(rng), 16 + i) + 300;
    back.unplug_at = -1;
    back.ready_at = -1;
    back.fault = {};
    p.boards[i].returns_as = static_cast<int>(p.boards.size());
    p.boards.push_back(back);
  }
  if (std::bernoulli_distribution(0.2)(rng)) {
    for (int i = 0; i < n; ++i)
      if (std::bernoulli_distribution(0.6)(rng) && !p.boards[i].port.empty()) p.ports.push_back(p.boards[i].port);
  }
  // --count at most the boards that can be taken: a node pulled before udev
  // set it up never is.
  const int wanted = static_cast<int>(std::count_if(p.boards.begin(), p.boards.end(), [&](const Appearance& a) {
    return p.Wanted(a) && (a.unplug_at < 0 || a.Ready() < a.unplug_at);
  }));
  if (p.mode == Mode::Expect) {
    p.expect = std::bernoulli_distribution(0.1)(rng) ? n + 1 : std::uniform_int_distribution<int>(1, n)(rng);
    p.wait_seconds = std::uniform_int_distribution<int>(1, 4)(rng);
  }
  if (p.mode == Mode::Loop && wanted == 0) p.mode = Mode::All;  // --loop would wait for ever
  if (p.mode == Mode::Loop)
    p.count = std::bernoulli_distribution(0.8)(rng) ? wanted : std::uniform_int_distribution<int>(1, wanted)(rng);
  if (std::bernoulli_distribution(0.25)(rng))
    p.stop_at = At(std::uniform_int_distribution<int>(0, 3000)(rng), 30) + 400;
  p.mouse = std::bernoulli_distribution(0.3)(rng);
  return p;
}

// ---- What the line should do ------------------------------------------------------

// The PIC16 load leaves out the records from 0x400E (the HEX file never lets
// one cross it); nothing else of the images here is left out.
std::vector<std::uint8_t> FamilyImage(const std::vector<std::uint8_t>& image, const TBootInfo& info) {
  if (info.McuType != 1 || image.size() <= test::kPic16LoadLimit) return image;
  return {image.begin(), image.begin() + test::kPic16LoadLimit};
}

// How an upload that nothing disturbs ends, by the rules: a file with no
// data for the board's family is rejected before the handshake, a layout
// without room or a file too short is refused (its result names the cause,
// as the refusal's line does), No (no --yes, no terminal) to the question
// about the bootloader area declines, a device that takes longer than the
// host's 500 ms to write one data block (an erase block of 1-byte write
// blocks on the slower flash) times out, and anything else completes.
struct Expected {
  ExitCode code = ExitCode::Success;
  std::string message;
  bool refused = false;  // the message is the refusal line's
};
const char* kDeclined = "declined at the bootloader-area question: nothing was written";
Expected Undisturbed(const sim::Config& device, std::int64_t L, bool yes) {
  const TBootInfo& info = device.info;
  if (L == 0)
    return {ExitCode::HexRejected,
            std::string("the HEX file holds no data for a ") + (info.McuType == 1 ? "PIC16" : "PIC18") + " program memory"};
  if (!test::LayoutUsable(info) || (info.McuType == 2 && L < 4)) return {ExitCode::Failed, "", true};
  if (L > std::int64_t{info.BootStart} && !yes) return {ExitCode::Failed, kDeclined};
  const std::int64_t writes_per_block = (info.EraseBlockSize + info.WriteBlockSize - 1) / info.WriteBlockSize;
  const Micros block_time = device.timing.write_per_block * writes_per_block +
                            device.timing.frame * (info.EraseBlockSize / 64 + 2);
  if (block_time >= from_ms(500)) return {ExitCode::Failed, "no answer"};
  return {ExitCode::Success, "Upload completed"};
}

// The boot info the host was told, as its "Device:" line shows it.
struct HostInfo {
  std::string line;
  std::optional<TBootInfo> info;  // when the line reads back
};

std::string DeviceLine(const TBootInfo& info, const std::string& path) {
  char tail[128];
  std::snprintf(tail, sizeof tail, ", bootloader at 0x%X, erase block %u, write block %u",
                static_cast<unsigned>(info.BootStart), static_cast<unsigned>(info.EraseBlockSize),
                static_cast<unsigned>(info.WriteBlockSize));
  const char* family = info.McuType == 1 ? "PIC16" : info.McuType == 2 ? "PIC18" : "";
  return "Device: " + info.BootDeviceName + " (" + family + ") at " + path + tail;
}

std::optional<TBootInfo> ParseDeviceLine(const std::string& line) {
  const std::size_t at = line.rfind(", bootloader at 0x");
  if (line.rfind("Device: ", 0) != 0 || at == std::string::npos) return std::nullopt;
  unsigned boot = 0, erase = 0, write = 0;
  if (std::sscanf(line.c_str() + at, ", bootloader at 0x%X, erase block %u, write block %u", &boot, &erase, &write) != 3)
    return std::nullopt;
  TBootInfo info;
  info.BootStart = boot;
  info.EraseBlockSize = static_cast<std::uint16_t>(erase);
  info.WriteBlockSize = static_cast<std::uint16_t>(write);
  return info;
}

bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// ---- One run -----------------------------------------------------------------------

struct Tally {
  std::map<std::string, int> boards;  // outcome of each board the line took
  std::map<std::string, int> runs;    // the line's exit code
  int untouched = 0;                  // boards the line was right to leave alone
  int missing_ports = 0;              // ports named that no board showed on
  int in_step_checks = 0;
};

// A board's state during and after the run.
struct Board {
  std::unique_ptr<VirtualSimBootloader> sim;
  std::string path;
  Micros pulled = -1;  // pulled from outside while on the bus
  Micros ended = -1;   // its result came
  std::vector<std::uint8_t> blank;
};

struct Line {
  Micros at = 0;
  std::string text;
};

// The session of the check after a stop: it only has to show its lines.
class QuietView : public SessionView {
 public:
  void AppendHistory(std::string_view) override {}
};

// Virtual time after which the line counts as hung: it is stopped (and, if
// that does not end it, the run aborts with its seed).
constexpr Micros kHung = from_ms(600000);

std::string ResultText(const BoardResult& r) {
  if (r.missing) return "missing";
  if (r.stopped) return "stopped";
  switch (r.code) {
    case ExitCode::Success: return "ok";
    case ExitCode::PermissionDenied: return "no access";
    case ExitCode::Interrupted: return "stopped";
    case ExitCode::HexRejected: return "file rejected";
    default: return "failed";
  }
}

std::string ExitName(ExitCode code) {
  switch (code) {
    case ExitCode::Success: return "success";
    case ExitCode::Interrupted: return "interrupted";
    case ExitCode::NoDevice: return "no device";
    case ExitCode::Usage: return "usage";
    default: return "failed";
  }
}

// Which boards the line must take, and how a line that takes none ends.
struct Claims {
  std::vector<bool> taken;
  std::string no_board_line;  // the line a run without boards ends with ("" none)
  // The ports named that no board it took was on: each a result "missing".
  std::set<std::string> missing;
};

Claims ExpectedClaims(const Plan& p) {
  const std::size_t n = p.boards.size();
  Claims c;
  c.taken.assign(n, false);
  // Attached: a node udev is still setting up counts, and is waited for.
  auto present = [&](const Appearance& a, Micros t) {
    return p.Wanted(a) && a.plug_at <= t && (a.unplug_at < 0 || a.unplug_at > t);
  };
  auto count_at = [&](Micros t) {
    return static_cast<int>(std::count_if(p.boards.begin(), p.boards.end(), [&](const Appearance& a) { return present(a, t); }));
  };
  // Every port named is waited for too.
  auto ports_at = [&](Micros t) {
    return std::all_of(p.ports.begin(), p.ports.end(), [&](const std::string& port) {
      return std::any_of(p.boards.begin(), p.boards.end(), [&](const Appearance& a) { return a.port == port && present(a, t); });
    });
  };
  // The boards chosen at `start`: each is taken once udev has set it up,
  // unless it leaves or the stop comes first.
  auto choose = [&](Micros start) {
    for (std::size_t i = 0; i < n; ++i) {
      const Appearance& a = p.boards[i];
      c.taken[i] = present(a, start) && (a.unplug_at < 0 || a.Ready() < a.unplug_at) &&
                   (p.stop_at < 0 || a.Ready() < p.stop_at);
    }
    for (const std::string& port : p.ports) {
      bool on_it = false;
      for (std::size_t i = 0; i < n; ++i) on_it = on_it || (c.taken[i] && p.boards[i].port == port);
      if (!on_it) c.missing.insert(port);
    }
    // None attached, or every one chosen left before udev had set it up.
    if (p.ports.empty() && std::none_of(c.taken.begin(), c.taken.end(), [](bool t) { return t; }))
      c.no_board_line = "No bootloader found: no HID device named \"" + std::string(BootloaderProductName) + "\" is attached.";
  };
  switch (p.mode) {
    case Mode::All:
      // The boards attached as it starts; later ones are not its to flash.
      choose(0);
      break;
    case Mode::Expect: {
      // It starts as soon as --expect boards (and every port named) are
      // attached, within --wait.
      const Micros deadline = from_ms(std::int64_t{p.wait_seconds} * 1000);
      std::vector<Micros> events{0};
      for (const Appearance& a : p.boards) {
        events.push_back(a.plug_at);
        if (a.ready_at >= 0) events.push_back(a.ready_at);
        if (a.unplug_at >= 0) events.push_back(a.unplug_at);
      }
      std::sort(events.begin(), events.end());
      Micros start = -1;
      for (Micros t : events) {
        if (t > deadline) break;
        if (count_at(t) >= p.expect && ports_at(t)) {
          start = t;
          break;
        }
      }
      const Micros gave_up = start >= 0 ? start : deadline;
      if (p.stop_at >= 0 && p.stop_at < gave_up) break;  // stopped while waiting
      if (count_at(gave_up) < p.expect) {
        c.no_board_line = "Only " + std::to_string(count_at(gave_up)) + " of " + std::to_string(p.expect) +
                          " bootloaders appeared.";
        break;
      }
      choose(gave_up);
      break;
    }
    case Mode::Loop: {
      // Each as it comes, until --count boards or the stop.
      std::vector<std::size_t> order;
      for (std::size_t i = 0; i < n; ++i)
        if (p.Wanted(p.boards[i]) && (p.stop_at < 0 || p.boards[i].Ready() < p.stop_at) &&
            (p.boards[i].unplug_at < 0 || p.boards[i].Ready() < p.boards[i].unplug_at))
          order.push_back(i);
      std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return p.boards[a].Ready() < p.boards[b].Ready(); });
      for (std::size_t k = 0; k < order.size() && static_cast<int>(k) < p.count; ++k) c.taken[order[k]] = true;
      break;
    }
  }
  return c;
}

std::string Outcome(const BoardResult& r) {
  if (r.missing) return "missing";
  switch (r.code) {
    case ExitCode::Success: return "completed";
    case ExitCode::Interrupted: return "stopped";
    case ExitCode::PermissionDenied: return "no access";
    case ExitCode::HexRejected: return "file rejected";
    default: return "failed: " + r.message;
  }
}

// Runs one plan and returns what was wrong with it ("" when nothing).
std::string RunPlan(const Plan& p, Tally& tally, const std::filesystem::path& hex_path,
                    const std::filesystem::path& json_path) {
  std::ostringstream bad;
  auto check = [&](bool ok, const std::string& what) {
    if (!ok) bad << "\n  - " << what;
  };

  std::mt19937_64 rng(p.seed ^ 0x9E3779B97F4A7C15ull);
  const std::vector<std::uint8_t> image = test::RandomImage(rng, p.length);
  std::ofstream(hex_path, std::ios::binary | std::ios::trunc) << test::ShuffledHexText(image, rng);

  VirtualEventLoop loop;
  VirtualHidBackend backend{loop};
  std::vector<Board> boards(p.boards.size());
  auto plug = [&](std::size_t i) {
    const Appearance& a = p.boards[i];
    VirtualHidSpec spec;
    spec.port = a.port;
    if (!a.serial.empty()) spec.serial = a.serial;
    if (a.trouble == Trouble::NoAccess) spec.refuse_read_write = true;
    if (a.trouble == Trouble::ShortReports) spec.output_length = 33;
    if (a.ready_at >= 0) spec.settling = spec.refuse_read_write = true;
    boards[i].sim = std::make_unique<VirtualSimBootloader>(backend, loop, a.Device(), spec);
    boards[i].path = backend.Path(boards[i].sim->id());
    boards[i].blank = boards[i].sim->model().flash();
  };
  VirtualHidBackend::DeviceId mouse = 0;
  if (p.mouse) {
    VirtualHidSpec spec;
    spec.product = "USB Mouse";
    spec.port = "1-9";
    mouse = backend.Plug(spec);
  }
  for (std::size_t i = 0; i < p.boards.size(); ++i)
    if (p.boards[i].plug_at == 0) plug(i);

  std::vector<Line> lines;
  cli::BoardRows rows(false);
  rows.sink = [&](std::string_view text) { lines.push_back({loop.now(), std::string(text)}); };
  cli::LineOptions o;
  o.file = hex_path.string();
  o.all = p.mode != Mode::Loop;
  o.expect = p.expect;
  o.device.wait_seconds = p.wait_seconds;
  o.device.ports = p.ports;
  o.loop = p.mode == Mode::Loop;
  o.count = p.count;
  o.yes = p.yes;
  // --json: the events go to a file, read back below.
  const int json_fd = ::open(json_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  cli::JsonEventWriter json(json_fd);
  auto line = std::make_unique<cli::ProductionLine>(loop, backend, o, rows);
  line->json = &json;
  line->on_result = [&](const BoardResult& r) {
    for (Board& b : boards)
      if (b.sim && b.path == r.path) b.ended = loop.now();
  };
  std::vector<TimerId> timers;
  Micros stopped_at = -1;
  bool hung = false;
  for (std::size_t i = 0; i < p.boards.size(); ++i) {
    const Appearance& a = p.boards[i];
    if (a.plug_at > 0) timers.push_back(loop.schedule_at(a.plug_at, [&, i] { plug(i); }));
    if (a.ready_at >= 0) {
      timers.push_back(loop.schedule_at(a.ready_at, [&, i] {
        if (!boards[i].sim || !boards[i].sim->attached()) return;
        backend.Update(boards[i].sim->id(), [](VirtualHidSpec& spec) { spec.settling = spec.refuse_read_write = false; });
        backend.Announce(boards[i].sim->id(), "add");
      }));
    }
    if (a.unplug_at >= 0) {
      timers.push_back(loop.schedule_at(a.unplug_at, [&, i] {
        if (!boards[i].sim || !boards[i].sim->attached()) return;
        boards[i].pulled = loop.now();
        boards[i].sim->Unplug();
      }));
    }
  }
  if (p.stop_at >= 0) {
    timers.push_back(loop.schedule_at(p.stop_at, [&] {
      stopped_at = loop.now();
      line->Stop();
    }));
  }
  timers.push_back(loop.schedule_at(kHung, [&] {
    hung = true;
    line->Stop();
  }));
  timers.push_back(loop.schedule_at(2 * kHung, [&] {
    std::fprintf(stderr, "%s\n  - the line did not end, even when stopped\n", p.Describe().c_str());
    std::abort();
  }));
  const ExitCode code = line->Run();
  for (TimerId t : timers) loop.cancel(t);
  const std::vector<BoardResult> results = line->results();
  line.reset();
  ::close(json_fd);
  check(!hung, "the line did not end by itself");
  ++tally.runs[ExitName(code)];

  // ---- Which boards it took, and its results ----------------------------------
  const Claims claims = ExpectedClaims(p);
  std::map<std::string, const BoardResult*> result_of;
  std::set<std::string> missing;  // the ports named that no board showed on
  for (const BoardResult& r : results) {
    if (r.missing) {
      check(r.path.empty() && r.code == ExitCode::NoDevice && missing.insert(r.port).second,
            "a missing port's result is not one of its own: " + r.port);
      continue;
    }
    check(result_of.emplace(r.path, &r).second, "two results for " + r.path);
  }
  {
    std::string want, got;
    for (const auto& port : claims.missing) want += " " + port;
    for (const auto& port : missing) got += " " + port;
    check(missing == claims.missing, "ports missing:" + got + "; expected:" + want);
    tally.missing_ports += static_cast<int>(missing.size());
  }
  int taken = 0;
  for (std::size_t i = 0; i < p.boards.size(); ++i) {
    const Board& b = boards[i];
    const bool has_result = b.sim && result_of.count(b.path) != 0;
    if (claims.taken[i]) {
      ++taken;
      check(has_result, "board " + std::to_string(i) + " was not flashed");
    } else {
      check(!has_result, "board " + std::to_string(i) + " was flashed, though not the line's to take");
      // Never talked to.
      if (b.sim) {
        check(b.sim->received().empty(), "board " + std::to_string(i) + " was written to, though not taken");
        ++tally.untouched;
      }
    }
  }
  check(static_cast<int>(results.size() - missing.size()) == taken,
        std::to_string(results.size()) + " results for " + std::to_string(taken) + " boards taken");
  if (p.mouse) check(backend.WriteCount(mouse) == 0, "the mouse was written to");

  // ---- The lines: each board's own, and the line's ------------------------------
  std::map<std::string, std::vector<std::vector<Line>>> segments;  // label: one per appearance, from "Found:"
  std::vector<Line> plain;
  for (const Line& l : lines) {
    const std::size_t close = l.text.find("] ");
    if (l.text.rfind("[", 0) != 0 || close == std::string::npos) {
      plain.push_back(l);
      continue;
    }
    const std::string label = l.text.substr(1, close - 1);
    const std::string text = l.text.substr(close + 2);
    auto& segs = segments[label];
    if (text.rfind("Found: ", 0) == 0) segs.emplace_back();
    if (segs.empty()) {
      check(false, "line before its board's \"Found:\": " + l.text);
      continue;
    }
    segs.back().push_back({l.at, text});
  }
  // Appearances of one board, in the order they came.
  std::map<std::string, std::vector<std::size_t>> taken_by_label;
  for (std::size_t i = 0; i < p.boards.size(); ++i)
    if (claims.taken[i]) taken_by_label[p.boards[i].Label(boards[i].path)].push_back(i);
  for (auto& [label, list] : taken_by_label)
    std::sort(list.begin(), list.end(), [&](std::size_t a, std::size_t b) { return p.boards[a].plug_at < p.boards[b].plug_at; });
  for (const auto& [label, segs] : segments) {
    const std::size_t want = taken_by_label.count(label) ? taken_by_label[label].size() : 0;
    check(segs.size() == want, "label [" + label + "] has " + std::to_string(segs.size()) + " boards' lines for " +
                                   std::to_string(want) + " boards taken");
  }

  // ---- Each board the line took --------------------------------------------------
  std::vector<std::size_t> in_step;  // stopped boards to ask again afterwards
  for (const auto& [label, list] : taken_by_label) {
    for (std::size_t k = 0; k < list.size(); ++k) {
      const std::size_t i = list[k];
      const Appearance& a = p.boards[i];
      Board& b = boards[i];
      if (!b.sim || result_of.count(b.path) == 0) continue;  // reported above
      const BoardResult& r = *result_of[b.path];
      static const std::vector<Line> kNone;
      const std::vector<Line>& seg = k < segments[label].size() ? segments[label][k] : kNone;
      std::ostringstream why;
      auto say = [&](bool ok, const std::string& what) {
        if (!ok) why << "\n  - board " << i << " [" << label << "] (" << Outcome(r) << "): " << what;
      };
      const sim::SimulatedBootloader& m = b.sim->model();
      const TBootInfo dev = a.Device().info;
      const std::vector<std::uint8_t> fimage = FamilyImage(image, dev);
      const auto L = static_cast<std::int64_t>(fimage.size());
      const std::vector<sim::CommandRecord> commands = m.commands();
      auto count = [&](std::uint8_t code) {
        return std::count_if(commands.begin(), commands.end(), [&](const sim::CommandRecord& c) { return c.code == code; });
      };
      const auto erase_or_write = count(CMD_ERASE) + count(CMD_WRITE);

      say(r.port == a.port && r.serial == a.serial, "its result carries port " + r.port + " serial " + r.serial);
      say(!seg.empty() && seg.front().text.rfind("Found: ", 0) == 0 && seg.front().text.ends_with(" at " + b.path),
          "its first line is not its \"Found:\" at " + b.path);
      char done[64];
      std::snprintf(done, sizeof done, "Done (%lld bytes in ", static_cast<long long>(r.bytes));
      say(!seg.empty() && (r.code == ExitCode::Success ? seg.back().text.rfind(done, 0) == 0
                           : r.stopped                 ? seg.back().text == "Interrupted: " + r.message
                                                       : seg.back().text == "Failed: " + r.message),
          "its last line does not tell its result: " + (seg.empty() ? std::string() : seg.back().text));
      std::string host_line;
      for (const Line& l : seg)
        if (l.text.rfind("Device: ", 0) == 0) host_line = l.text;
      const bool genuine = host_line == DeviceLine(dev, b.path);
      const std::optional<TBootInfo> host = genuine ? std::optional<TBootInfo>(dev) : ParseDeviceLine(host_line);

      // What the device was sent, by its own record.
      say(count(CMD_BOOT_INFO) == (a.trouble == Trouble::None ? 1 : 0), "boot-info requests: " + std::to_string(count(CMD_BOOT_INFO)));
      say(count(CMD_RESET) <= 1, "more than one reset");
      if (host) why << test::CheckEraseAndWrites(commands, *host);
      else say(erase_or_write == 0, "erased or wrote without a boot-info line");
      if (genuine) {
        say(m.refused().empty(), "the device refused a command or saw a write over unerased flash");
        say(m.BootAreaIntact(), "the bootloader area was touched");
      }

      // What struck the board itself.
      const bool fault_struck = a.fault.kind != sim::FaultKind::None &&
                                (a.fault.step == 0 ? m.steps() > 0 : m.steps() >= a.fault.step);
      // A removal or a stop ends the board's wait at once: its result may
      // come at the very time.
      const bool pulled = b.pulled >= 0 && (b.ended < 0 || b.pulled <= b.ended);
      const bool stop_hit = stopped_at >= 0 && (b.ended < 0 || stopped_at <= b.ended);
      const bool undisturbed = !fault_struck && a.trouble == Trouble::None && !pulled && !stop_hit;
      if (a.trouble == Trouble::NoAccess)
        say(r.code == ExitCode::PermissionDenied && r.message.rfind("cannot open " + b.path, 0) == 0, "no access not told");
      if (a.trouble == Trouble::ShortReports)
        say(r.code == ExitCode::Failed && r.message == "its output reports are too short", "short reports not told");
      if (undisturbed) {
        const Expected e = Undisturbed(a.Device(), L, p.yes);
        say(genuine, "its boot info is not the device's: " + host_line);
        // A refusal's result names its cause: the refusal's own line.
        const bool refusal_told = std::any_of(seg.begin(), seg.end(), [&](const Line& l) {
          return test::IsUploadRefusal(l.text) && l.text == "Error: " + r.message;
        });
        say(r.code == e.code && (e.refused ? refusal_told : r.message == e.message),
            "nothing disturbed it, yet it did not end as \"" + (e.refused ? "refused" : e.message) + "\"");
        // Its only error line: the refusal of a layout or file it cannot take.
        for (const Line& l : seg)
          say(!Contains(l.text, "Error") ? !Contains(l.text, "Stopping") && !Contains(l.text, "bootloader mode")
                                         : (e.refused && test::IsUploadRefusal(l.text)) ||
                                               (e.message == "no answer" && l.text == "Error: Timeout waiting for MCU."),
              "nothing disturbed it, yet it says: " + l.text);
      }
      say(r.code != ExitCode::Interrupted || stop_hit, "stopped without a stop request");
      // A stop reaches every board still running: one with nothing else
      // wrong ends stopped, whatever step it was in.
      say(!stop_hit || fault_struck || pulled || a.trouble != Trouble::None || r.code == ExitCode::Interrupted,
          "a stop request came while it ran, yet it did not stop");
      say(!Contains(r.message, "removed") || pulled || (fault_struck && a.fault.kind == sim::FaultKind::Unplug),
          "removed, but it was never unplugged");
      for (const Line& l : seg) {
        if (l.text.rfind("Error: Device ", 0) == 0 && l.text.ends_with(" removed."))
          say(l.text == "Error: Device " + r.device + " removed." && (pulled || fault_struck),
              "a removal it did not have, or not named by its own device: " + l.text);
      }
      switch (r.code) {
        case ExitCode::Success:
          say(count(CMD_RESET) == 1 && !commands.empty() && commands.back().code == CMD_RESET, "no reset last");
          say(std::count_if(seg.begin(), seg.end(), [](const Line& l) { return l.text == "Completed successfully."; }) == 1,
              "no \"Completed successfully.\"");
          if (genuine) {
            say(m.flash() == test::ExpectedFlash(b.blank, dev, fimage), "flash differs from the expected layout");
            why << test::CheckCompletedCommands(commands, dev, L);
            const test::Layout plan = test::PlanFor(dev, L);
            say(r.bytes == plan.write_length + dev.EraseBlockSize, "bytes in the result: " + std::to_string(r.bytes));
          }
          break;
        case ExitCode::Interrupted: {
          say(count(CMD_RESET) == 0, "reset after a stop");
          if (!genuine) break;
          // An image the upload refuses plans nothing: the flash stays blank.
          const bool refusable = !test::LayoutUsable(dev) || L == 0 || (dev.McuType == 2 && L < 4);
          const std::vector<std::uint8_t> planned = refusable ? b.blank : test::ExpectedFlash(b.blank, dev, fimage);
          bool only_planned = true;
          for (std::size_t x = 0; x < planned.size(); ++x)
            only_planned = only_planned && (m.flash()[x] == planned[x] || m.flash()[x] == b.blank[x]);
          say(only_planned, "a stopped upload programmed bytes that are not the image's");
          const bool told_out_of_step = std::any_of(seg.begin(), seg.end(), [](const Line& l) {
            return Contains(l.text, "reset the board before connecting again");
          });
          const bool fault_spent = a.fault.kind == sim::FaultKind::None ||
                                   (a.fault.step > 0 && m.steps() >= a.fault.step);
          if (!told_out_of_step && fault_spent && b.sim->attached()) in_step.push_back(i);
          break;
        }
        default:
          say(count(CMD_RESET) == 0, "reset after a failure");
          if (r.message == kDeclined || r.message.ends_with("; cannot upload.") || r.code == ExitCode::HexRejected)
            say(erase_or_write == 0, "erased or wrote, though " + r.message);
          if (r.code == ExitCode::HexRejected)
            say(count(CMD_HANDSHAKE_1) == 0, "connected, though the file holds nothing for it");
          if (r.message == kDeclined)
            say(std::any_of(seg.begin(), seg.end(), [](const Line& l) { return l.text.rfind("No terminal to answer on: answered No", 0) == 0; }),
                "declined without the question answered No");
          break;
      }
      bad << why.str();
      ++tally.boards[Outcome(r)];
    }
  }

  // ---- The --json events agree with the results, board by board ----------------
  {
    std::ifstream in(json_path);
    std::map<std::string, int> found, lost, result, missing_events;
    std::map<std::string, std::int64_t> progress_total, progress_done;
    std::optional<nlohmann::json> summary;
    for (std::string text; std::getline(in, text);) {
      const nlohmann::json e = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
      if (e.is_discarded() || !e.is_object() || e.value("schema", 0) != cli::kJsonEventsSchema) {
        check(false, "not an event: " + text);
        continue;
      }
      check(!summary, "an event after the summary: " + text);
      const std::string kind = e.value("event", "");
      if (kind == "summary") {
        summary = e;
        continue;
      }
      const nlohmann::json& board = e["board"];
      const std::string path = board.is_object() && board["path"].is_string() ? board["path"].get<std::string>() : "";
      if (path.empty() && kind == "result" && board["port"].is_string() && board["serial"].is_null() &&
          missing.count(board["port"].get<std::string>()) != 0 && e.value("exit_class", "") == "no-device" &&
          ++missing_events[board["port"].get<std::string>()] == 1) {
        continue;  // a port named that no board showed on
      }
      const auto it = result_of.find(path);
      if (it == result_of.end()) {
        check(false, "an event for a board without a result: " + text);
        continue;
      }
      const BoardResult& r = *it->second;
      auto null_or = [](const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : std::string(); };
      check(null_or(board["port"]) == r.port && null_or(board["serial"]) == r.serial,
            "an event names another port or serial than its board's: " + text);
      check(result[path] == 0 || kind == "board-lost", "an event after the board's result: " + text);
      if (kind == "board-found") ++found[path];
      if (kind == "board-lost") ++lost[path];
      if (kind == "result") {
        ++result[path];
        check(e.value("exit_code", -1) == cli::ToInt(r.code) && e.value("message", "") == r.message,
              "the result event differs from the board's result: " + text);
      }
      if (kind == "progress") {
        const std::int64_t done = e.value("done", std::int64_t{-1}), total = e.value("total", std::int64_t{-1});
        check(0 <= done && done <= total && done >= progress_done[path] &&
                  (progress_total.count(path) == 0 || progress_total[path] == total),
              "progress that goes back or changes its total: " + text);
        progress_done[path] = done;
        progress_total[path] = total;
      }
    }
    for (std::size_t i = 0; i < p.boards.size(); ++i) {
      const Board& b = boards[i];
      if (!b.sim || result_of.count(b.path) == 0) continue;
      const BoardResult& r = *result_of[b.path];
      const std::string who = "board " + std::to_string(i) + " --json: ";
      check(found[b.path] == 1 && result[b.path] == 1, who + "not one board-found and one result");
      check(lost[b.path] <= 1 && (lost[b.path] == 0 || !b.sim->attached()), who + "lost, though it is on the bus");
      const TBootInfo dev = p.boards[i].Device().info;
      if (r.code == ExitCode::Success && r.device == dev.BootDeviceName) {
        const std::int64_t W = test::PlanFor(dev, static_cast<std::int64_t>(FamilyImage(image, dev).size())).write_length;
        check(progress_total[b.path] == W && progress_done[b.path] == W, who + "progress does not reach the main write");
      }
    }
    check(missing_events.size() == missing.size(), "not one result event for each port missing");
    const bool ran = p.mode == Mode::Loop || taken > 0 || !missing.empty();
    check(summary.has_value() == ran, ran ? "no summary event" : "a summary though the line took no board");
    if (summary) {
      const nlohmann::json& list = (*summary)["results"];
      const auto succeeded = std::count_if(results.begin(), results.end(), [](const BoardResult& r) { return r.code == ExitCode::Success; });
      check(summary->value("boards", -1) == static_cast<int>(results.size()) &&
                summary->value("succeeded", -1) == static_cast<int>(succeeded) &&
                summary->value("failed", -1) == static_cast<int>(results.size() - succeeded) && list.is_array() &&
                list.size() == results.size(),
            "the summary's counts differ from the results: " + summary->dump());
      for (std::size_t k = 0; list.is_array() && k < std::min(list.size(), results.size()); ++k) {
        const nlohmann::json& entry = list[k];
        const BoardResult& r = results[k];
        const nlohmann::json& path = entry["board"].is_object() ? entry["board"]["path"] : nlohmann::json();
        check((path.is_string() ? path.get<std::string>() : std::string()) == r.path && entry.value("exit_code", -1) == cli::ToInt(r.code) &&
                  entry.value("bytes", std::int64_t{-1}) == r.bytes,
              "summary entry " + std::to_string(k) + " is not " + r.path + "'s result: " + entry.dump());
      }
    }
  }

  // ---- A stopped board is left in step: it answers a boot-info request and
  // the handshake -----------------------------------------------------------------
  if (!in_step.empty()) {
    // A stop during boot info or the handshake ends that step at once, with
    // the device's answer still on its way (an upload's stop awaits it); a
    // board opened again within those milliseconds would read that answer
    // as its own. The next run opens it later: after the answers are through.
    loop.advance(from_ms(1100));
    TJvHidDeviceController ctl(loop, backend);
    loop.run_until([&] { return ctl.Count() > 0; }, loop.now() + from_ms(1000));
    for (std::size_t i : in_step) {
      std::unique_ptr<TJvHidDevice> device;
      for (int x = 0; x < ctl.Count() && !device; ++x)
        if (ctl.Device(x) != nullptr && ctl.Device(x)->PnPInfo().DevicePath() == boards[i].path) device = ctl.ClaimByIndex(x);
      if (!device) {
        check(false, "board " + std::to_string(i) + ": stopped and still attached, but not found again");
        continue;
      }
      QuietView view;
      {
        Session s(loop, *device, view, /*blocking_waits=*/false);
        bool ok = s.Attach();
        if (ok) {
          Task<bool> info = s.ReadBootInfo();
          loop.run_until([&] { return info.done(); }, loop.now() + from_ms(3000));
          ok = info.done() && info.result();
        }
        if (ok) {
          Task<bool> hello = s.Connect();
          loop.run_until([&] { return hello.done(); }, loop.now() + from_ms(3000));
          ok = hello.done() && hello.result();
        }
        check(ok, "board " + std::to_string(i) + ": no answer to boot info or the handshake after its stop");
        ++tally.in_step_checks;
      }
    }
  }

  // ---- The line's own lines, its table and its exit code ---------------------------
  // A board stopped by the stop request is no failure; a port missing is.
  // A stop ends with its own code only when nothing failed.
  const auto failed = std::count_if(results.begin(), results.end(),
                                    [](const BoardResult& r) { return r.code != ExitCode::Success && !r.stopped; });
  const bool none_found = !results.empty() && missing.size() == results.size();
  const ExitCode want = results.empty() ? (stopped_at >= 0 ? ExitCode::Interrupted : ExitCode::NoDevice)
                        : failed > 0    ? (none_found ? ExitCode::NoDevice : ExitCode::Failed)
                        : stopped_at >= 0 ? ExitCode::Interrupted
                                          : ExitCode::Success;
  check(code == want, "exit code " + ExitName(code) + ", not " + ExitName(want));
  std::size_t row = 0;
  bool in_table = false, summary = false, no_board = false;
  for (const Line& l : plain) {
    const std::string& t = l.text;
    if (in_table && row < results.size()) {
      const BoardResult& r = results[row++];
      check(t.rfind((r.port.empty() ? r.path : r.port) + " ", 0) == 0 &&
                Contains(t, " " + (r.serial.empty() ? std::string("-") : r.serial) + " ") && Contains(t, " " + ResultText(r) + " ") &&
                Contains(t, " " + std::to_string(r.bytes) + " "),
            "table row " + std::to_string(row) + " does not say how " + r.port + " went: " + t);
      continue;
    }
    if (t.rfind("port ", 0) == 0) {
      check(!in_table && !results.empty(), "a second table, or one without results");
      in_table = true;
    } else if (t.rfind("Waiting for ", 0) == 0 || (t == "Stopping every board..." && stopped_at >= 0)) {
    } else if (t == claims.no_board_line) {
      no_board = true;
    } else if (t.rfind("No bootloader on port ", 0) == 0 && t.ends_with(".") &&
               missing.count(t.substr(22, t.size() - 23)) != 0) {
    } else if (taken == 0 && !missing.empty() &&
               (t == "Attached bootloaders:" || t.rfind("  port ", 0) == 0 || t.rfind("  -  ", 0) == 0 ||
                t == "No bootloader found: no HID device named \"" + std::string(BootloaderProductName) + "\" is attached.")) {
      // Nothing on the ports named: what is attached instead.
    } else if (t == std::to_string(failed) + " of " + std::to_string(results.size()) +
                        (results.size() == 1 ? " board failed." : " boards failed.")) {
      summary = true;
    } else {
      check(false, "stray line: " + t);
    }
  }
  check(row == results.size(), "the table has " + std::to_string(row) + " rows for " + std::to_string(results.size()) + " results");
  check(summary == (failed > 0), "the summary line does not agree with the results");
  check(no_board == (!claims.no_board_line.empty() && stopped_at < 0), "no line saying why no board was flashed");
  return bad.str();
}

// The CTest size; under AddressSanitizer, where every run costs several
// times as much, a third of it (the sanitizer looks for memory errors, which
// show in the first runs as well as in later ones).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint64_t kDefaultRuns = 50;
#else
constexpr std::uint64_t kDefaultRuns = 150;
#endif

TEST(MultiBoardSoak, RandomLinesKeepTheInvariants) {
  const std::uint64_t count = EnvNumber("QUELLOADER_MULTI_SOAK_COUNT", kDefaultRuns);
  const std::uint64_t first = EnvNumber("QUELLOADER_MULTI_SOAK_SEED", 20261209);
  const std::filesystem::path tmp = std::filesystem::temp_directory_path();
  const std::string stem = "quelloader-multi-soak-" + std::to_string(::getpid());
  const std::filesystem::path hex = tmp / (stem + ".hex"), json = tmp / (stem + ".jsonl");
  Tally tally;
  int failures = 0;
  std::uint64_t boards = 0;
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t i = 0; i < count && failures < 10; ++i) {
    const Plan plan = MakePlan(first + i);
    boards += plan.boards.size();
    const std::string bad = RunPlan(plan, tally, hex, json);
    if (!bad.empty()) {
      ++failures;
      ADD_FAILURE() << plan.Describe() << bad;
    }
  }
  std::filesystem::remove(hex);
  std::filesystem::remove(json);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("multi-board soak: %llu runs from seed %llu, %llu board appearances, in %.1f s\n",
              static_cast<unsigned long long>(count), static_cast<unsigned long long>(first),
              static_cast<unsigned long long>(boards), seconds);
  std::printf("  runs:\n");
  for (const auto& [what, n] : tally.runs) std::printf("  %6d %s\n", n, what.c_str());
  std::printf("  boards the line took:\n");
  for (const auto& [what, n] : tally.boards) std::printf("  %6d %s\n", n, what.c_str());
  std::printf("  %6d boards rightly left alone\n  %6d stopped boards asked again\n", tally.untouched,
              tally.in_step_checks);
  std::printf("  %6d ports named that no board showed on\n", tally.missing_ports);
  // A soak whose boards all ended the same way would prove little.
  EXPECT_GT(tally.boards["completed"], 0);
  EXPECT_GT(tally.boards["stopped"], 0);
  EXPECT_GT(tally.untouched, 0);
}

}  // namespace
}  // namespace ql
