// The multi-board soak: whole production-line runs of `quelloader-cli flash`
// with one to sixteen simulated boards on the virtual HID backend, all on one
// event loop in virtual time. Each run draws the line's mode (--all with the
// boards present, --all --expect N --wait, --loop --count N), its --port
// choice and --yes, a HEX file of random size and bytes, and per board a
// preset and layout, a fault of the simulated bootloader at a random step
// (or one the HID side offers: no access, reports too short, a node udev is
// still setting up; or a device that stops taking reports), its serial and
// port (or none), the times it is plugged in and pulled out (some come late,
// while others upload; some come back), and for the whole line a stop
// request (Ctrl+C) at a random time. Around the boards, what a busy machine
// does: HID writes a device takes slowly for a while (under the write time
// limit), a reader thread that hands reports over late, the process stopped
// and continued (the loop held for up to three seconds), and stdout and
// stderr into pipes whose readers stop now and then.
//
// The boards are driven through the production line itself, the class the
// command line runs for --all/--expect/--loop, on the virtual backend that
// --simulate uses: it is deterministic in virtual time (every plug, unplug,
// stop and hold is a timer on the loop, at times that never coincide), so the
// product's own way of running several boards is what is soaked, with its
// claiming, its per-board lines, its results and its table. Only the text
// that reaches the pipes' readers depends on real time.
//
// Invariants checked per board after every run, worked out here and in
// tests/support from the layout rules and the line's rules, never from the
// product's code: which boards the line takes (those present when it starts,
// or each as it comes with --loop, up to --count, never one twice); after a
// success the flash equals the layout oracle and the device saw exactly the
// planned erases and writes, the planned number of packets, and one reset;
// nothing at or above the bootloader start is ever erased or written (the
// model's own record); a board without a fault of its own (no device fault
// that struck, not pulled, no stop) ends exactly as the rules say for its
// layout and the file, however slow its writes, its reader or the process;
// a board whose device stopped taking reports fails alone, saying so, one
// write time limit after its report went under way; every line of a board
// carries its own port and serial, a removal names its own device; a
// stopped board's flash holds only planned bytes and it answers a boot-info
// request and the handshake afterwards; the results, the table, the summary
// line, the --json events and the exit code agree with the boards, and no
// result, board-lost or summary is lost or reordered however the readers of
// the pipes lag.
//
// QUELLOADER_MULTI_SOAK_COUNT  runs (default 120, 40 under AddressSanitizer; the full run is 10000)
// QUELLOADER_MULTI_SOAK_SEED   first run's seed (default fixed); run i uses
//                              seed + i, so a failing run reruns alone with
//                              QUELLOADER_MULTI_SOAK_SEED=<its seed> QUELLOADER_MULTI_SOAK_COUNT=1

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/json_events.h"
#include "tests/support/test_pipe.h"
#include "cli/output_channel.h"
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
  // Its reader thread hands each report over this late (0: at once).
  Micros input_delay = 0;
  // For a while from `at` on, each report the device is handed takes `delay`
  // to be taken: slow, but within the write time limit.
  struct SlowWrites {
    Micros at = 0, length = 0, delay = 0;
  };
  std::vector<SlowWrites> slow_writes;

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

// The process stopped (or starved) at `at` for `length`: the loop is held.
struct Hold {
  Micros at = 0, length = 0;
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
  std::vector<Hold> holds;  // in time order
  // stderr's lines and the --json events through output channels into pipes
  // read by threads that stop now and then; otherwise straight to the test.
  bool pipes = false;
  std::size_t json_bound = 0;  // the events channel's bound on phase events (0: the program's)

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
    for (const Hold& h : holds) s << ", held at " << h.at << " us for " << h.length << " us";
    if (pipes) {
      s << ", stdout and stderr into pipes";
      if (json_bound > 0) s << " (phase events beyond " << json_bound << " bytes dropped)";
    }
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
      if (a.input_delay > 0) s << ", reports handed over " << a.input_delay << " us late";
      for (const auto& w : a.slow_writes)
        s << ", writes taking " << w.delay << " us from " << w.at << " us for " << w.length << " us";
    }
    return s.str();
  }
};

Micros At(std::int64_t ms, int slot) { return ms * 1000 + 1 + slot; }

// The bytes of the file a board of this family loads (worked out below).
std::int64_t FamilyLength(const TBootInfo& info, std::int64_t L);
// The last step (as the device counts them) at which a device that stops
// taking reports still finds its host sending (worked out below).
std::int64_t LastAwaitedStep(const sim::Config& device, std::int64_t L, bool yes);

Plan MakePlan(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Plan p;
  p.seed = seed;
  // What a busy machine does around the boards comes from a stream of its own.
  std::mt19937_64 busy(seed ^ 0xA24BAED4963EE407ull);
  auto chance = [&](double q) { return std::bernoulli_distribution(q)(busy); };
  auto between = [&](std::int64_t lo, std::int64_t hi) {
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(busy);
  };
  const int n = std::uniform_int_distribution<int>(1, 16)(rng);
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
    // A device that stops taking reports at a packet its host sends (the
    // boot-info request at step 1, up to the last one answered).
    if (chance(0.06))
      a.fault = {sim::FaultKind::Deaf,
                 static_cast<int>(between(1, LastAwaitedStep(c, FamilyLength(c.info, p.length), p.yes)))};
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

  // Writes a device takes slowly for a while: one report or a few, each
  // within the write time limit.
  for (Appearance& a : p.boards) {
    if (!chance(0.3)) continue;
    for (int k = chance(0.7) ? 1 : 2; k > 0; --k) {
      Appearance::SlowWrites w;
      w.delay = from_ms(between(50, 900));
      w.at = a.plug_at + At(between(0, 3000), 0);
      w.length = between(1, 2 * w.delay);
      a.slow_writes.push_back(w);
    }
  }
  // A reader thread that hands reports over late.
  if (chance(0.6))
    for (Appearance& a : p.boards) a.input_delay = between(0, 5000);
  // The process stopped and continued: now and then for up to three seconds,
  // mostly for less.
  if (chance(0.4)) {
    for (int k = static_cast<int>(between(1, 4)); k > 0; --k)
      p.holds.push_back({At(between(1, 7000), 0), chance(0.7) ? between(1, 600'000) : between(600'000, 3'000'000)});
  }
  if (chance(0.4)) {
    p.pipes = true;
    if (chance(0.5)) p.json_bound = static_cast<std::size_t>(between(256, 8192));
  }

  // Every timed event at a time of its own, so the loop runs them in the
  // one order the claims below follow.
  {
    std::set<Micros> used{0};
    auto own = [&](Micros& t) {
      if (t <= 0) return;
      while (!used.insert(t).second) ++t;
    };
    for (Appearance& a : p.boards) {
      own(a.plug_at);
      own(a.ready_at);
      own(a.unplug_at);
      for (auto& w : a.slow_writes) {
        own(w.at);
        Micros end = w.at + w.length;
        own(end);
        w.length = end - w.at;
      }
    }
    own(p.stop_at);
    for (Hold& h : p.holds) own(h.at);
    std::sort(p.holds.begin(), p.holds.end(), [](const Hold& a, const Hold& b) { return a.at < b.at; });
  }
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
const char* kStalled = "the device stopped taking reports";
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

std::int64_t FamilyLength(const TBootInfo& info, std::int64_t L) {
  return info.McuType == 1 ? std::min<std::int64_t>(L, test::kPic16LoadLimit) : L;
}

// The packets a completed upload of L bytes sends, as the device counts its
// steps: the boot-info request and the two handshake packets; the main erase
// in commands of at most 32767 blocks; the main write in commands of at most
// 32767 bytes of whole erase blocks, each followed by its data blocks of one
// erase block; the final block's erase, write command and data block; the
// reset.
constexpr std::int64_t kMaxCount = 32767;
std::int64_t Up(std::int64_t v, std::int64_t d) { return (v + d - 1) / d; }
std::int64_t CompletedSteps(const TBootInfo& info, std::int64_t L) {
  const test::Layout plan = test::PlanFor(info, L);
  const std::int64_t E = info.EraseBlockSize;
  return 3 + Up(plan.erase_blocks, kMaxCount) + Up(plan.write_length, kMaxCount / E * E) + Up(plan.write_length, E) + 4;
}

std::int64_t LastAwaitedStep(const sim::Config& device, std::int64_t L, bool yes) {
  const Expected e = Undisturbed(device, L, yes);
  if (e.code == ExitCode::HexRejected) return 1;  // the boot info told the family
  // The reset is sent and not awaited: a device that takes no more reports
  // from the reset on is not drawn (docs/reliability.md, findings).
  if (e.code == ExitCode::Success) return CompletedSteps(device.info, L) - 1;
  // Too slow to write a block: the main erase, the write command and its
  // first data block, whose answer comes too late.
  if (e.message == "no answer") return 3 + Up(test::PlanFor(device.info, L).erase_blocks, kMaxCount) + 2;
  return 3;  // refused or declined after the handshake
}

// A wait for boards (--expect, --wait) that a hold carries past its deadline
// sees the events before the hold one by one, as they come, and then, when
// the loop runs again, everything that fell due during the hold at once (a
// late loop takes what came in time before it gives up). `one_by_one`: until
// when (plan time) events come one at a time; `at_once`: the hold's end,
// when the rest is seen together, or -1 when no hold spans the deadline.
struct WaitWindow {
  Micros one_by_one = 0;
  Micros at_once = -1;
};
WaitWindow WaitSees(const Plan& p, Micros deadline) {
  Micros clock = 0;
  for (std::size_t i = 0; i < p.holds.size(); ++i) {
    const Hold& h = p.holds[i];
    if (h.at >= deadline) break;
    clock = std::max(clock, h.at) + h.length;
    if (clock >= deadline) {
      // A hold that fell due during this one runs in the same batch and
      // carries it further.
      for (std::size_t j = i + 1; j < p.holds.size() && p.holds[j].at <= clock; ++j) clock += p.holds[j].length;
      return {h.at, clock};
    }
  }
  return {deadline, -1};
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
  int sessions = 0;  // boards taken: one session each
  int decided_before_stop = 0;  // boards whose last wait was decided before a late stop
  int reset_before_stop = 0;    // boards whose reset was on its way when the stop came
  // Around the boards.
  int deaf_boards = 0;  // whose device stopped taking reports
  int held_runs = 0, holds = 0, pipe_runs = 0, runs_dropping_events = 0;
  std::uint64_t events_dropped = 0;
  // Boards with no fault of their own that ended as the rules say, with
  // slow writes, in a held run, with a late reader, in a run with pipes.
  int slowed_undisturbed = 0, held_undisturbed = 0, late_reader_undisturbed = 0, piped_undisturbed = 0;
};

// A board's state during and after the run.
struct Board {
  std::unique_ptr<VirtualSimBootloader> sim;
  std::string path;
  Micros ended = -1;  // its result came
  // Where in the run's order of pulls, stops and results (a hold runs
  // several at one time) it was pulled from outside while on the bus, and
  // its result came; 0: never.
  std::uint64_t pulled = 0, result = 0;
  std::vector<std::uint8_t> blank;
};

// The virtual backend as the line sees it, with a record of each device's
// writes: when every output report was handed to its writer, and when the
// writer told it was done. A report handed over and never done is one the
// device did not take.
class WatchedBackend final : public HidBackend {
 public:
  struct Writes {
    std::vector<Micros> handed, done;
  };

  WatchedBackend(VirtualHidBackend& inner, EventLoop& loop) : inner_(inner), loop_(loop) {}
  // By device path.
  std::map<std::string, Writes> writes;

  std::vector<HidInterfaceInfo> Enumerate() override { return inner_.Enumerate(); }
  std::unique_ptr<HidHandle> Open(const HidInterfaceInfo& info, bool read_write, int* error) override {
    return inner_.Open(info, read_write, error);
  }
  std::unique_ptr<HidReader> StartReader(const HidInterfaceInfo& info, EventLoop& loop, std::uint16_t input_length,
                                         int sleep_ms, HidReaderCallbacks callbacks) override {
    return inner_.StartReader(info, loop, input_length, sleep_ms, std::move(callbacks));
  }
  std::unique_ptr<HidWriter> StartWriter(const HidInterfaceInfo& info, EventLoop& loop,
                                         HidWriterCallbacks callbacks) override {
    Writes& w = writes[info.path];
    HidWriterCallbacks watched;
    watched.on_written = [this, &w, told = std::move(callbacks.on_written)](bool ok) {
      w.done.push_back(loop_.now());
      if (told) told(ok);
    };
    std::unique_ptr<HidWriter> writer = inner_.StartWriter(info, loop, std::move(watched));
    if (!writer) return nullptr;
    return std::make_unique<Writer>(std::move(writer), w, loop_);
  }
  void WatchChanges(EventLoop& loop, std::function<void(const HidChange&)> changed) override {
    inner_.WatchChanges(loop, std::move(changed));
  }
  void StopWatching() override { inner_.StopWatching(); }

 private:
  class Writer final : public HidWriter {
   public:
    Writer(std::unique_ptr<HidWriter> inner, Writes& w, EventLoop& loop)
        : inner_(std::move(inner)), w_(w), loop_(loop) {}
    void Submit(std::vector<std::uint8_t> report) override {
      w_.handed.push_back(loop_.now());
      inner_->Submit(std::move(report));
    }

   private:
    std::unique_ptr<HidWriter> inner_;
    Writes& w_;
    EventLoop& loop_;
  };

  VirtualHidBackend& inner_;
  EventLoop& loop_;
};

// A pipe whose reading end a thread of its own reads, stopping now and then
// (real time, kept short: under a millisecond, now and then up to ten; the
// line's whole run takes a few milliseconds of real time): stdout or
// stderr read by a program that lags behind. The pipe holds one page, so the
// writer meets a full pipe early.
class LaggingReader {
 public:
  explicit LaggingReader(std::uint64_t seed) {
    int fds[2];
    if (!test::MakePipe(fds)) std::abort();
    read_fd_ = fds[0];
    write_fd_ = fds[1];
    thread_ = std::thread([this, seed] { Read(seed); });
  }
  ~LaggingReader() {
    if (thread_.joinable()) Finish();
  }
  LaggingReader(const LaggingReader&) = delete;
  LaggingReader& operator=(const LaggingReader&) = delete;

  int fd() const { return write_fd_; }
  // Closes the writing end and returns everything read once the reader has
  // reached its end.
  std::string Finish() {
    ::close(write_fd_);
    thread_.join();
    ::close(read_fd_);
    return std::move(text_);
  }

 private:
  void Read(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto pause = [&](double often, double long_often) {
      const double x = std::uniform_real_distribution<double>(0, 1)(rng);
      std::int64_t us = 0;
      if (x < long_often)
        us = std::uniform_int_distribution<std::int64_t>(2'000, 10'000)(rng);
      else if (x < often)
        us = std::uniform_int_distribution<std::int64_t>(50, 1'000)(rng);
      if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
    };
    pause(0.5, 0.1);  // some start late: the whole run is queued
    std::vector<char> buffer(4096);
    for (;;) {
      const std::size_t want = std::uniform_int_distribution<std::size_t>(64, buffer.size())(rng);
      const ssize_t n = ::read(read_fd_, buffer.data(), want);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      text_.append(buffer.data(), static_cast<std::size_t>(n));
      pause(0.15, 0.02);
    }
  }

  int read_fd_ = -1, write_fd_ = -1;
  std::string text_;
  std::thread thread_;
};

struct Line {
  Micros at = 0;
  std::string text;
  std::size_t place = 0;  // among all the run's lines
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
      // attached, within --wait (as far as a hold lets it see).
      const WaitWindow window = WaitSees(p, from_ms(std::int64_t{p.wait_seconds} * 1000));
      const Micros deadline = window.one_by_one;
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
      if (start < 0 && window.at_once >= 0 && count_at(window.at_once) >= p.expect && ports_at(window.at_once)) {
        start = window.at_once;
      }
      const Micros gave_up = start >= 0 ? start : window.at_once >= 0 ? window.at_once : deadline;
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
  WatchedBackend watched(backend, loop);
  std::vector<Board> boards(p.boards.size());
  auto plug = [&](std::size_t i) {
    const Appearance& a = p.boards[i];
    VirtualHidSpec spec;
    spec.port = a.port;
    if (!a.serial.empty()) spec.serial = a.serial;
    if (a.trouble == Trouble::NoAccess) spec.refuse_read_write = true;
    if (a.trouble == Trouble::ShortReports) spec.output_length = 33;
    if (a.ready_at >= 0) spec.settling = spec.refuse_read_write = true;
    spec.input_delay = a.input_delay;
    boards[i].sim = std::make_unique<VirtualSimBootloader>(backend, loop, a.Device(), spec);
    boards[i].path = backend.Path(boards[i].sim->id());
    boards[i].blank = boards[i].sim->model().flash();
  };
  VirtualHidBackend::DeviceId mouse = 0;
  if (p.mouse) {
    VirtualHidSpec spec;
    spec.product = "USB Mouse";
    spec.port = "2-1";
    mouse = backend.Plug(spec);
  }
  for (std::size_t i = 0; i < p.boards.size(); ++i)
    if (p.boards[i].plug_at == 0) plug(i);

  // stderr's lines and the --json events: straight to the test (lines as
  // they are said, events into a file), or as the program sends them,
  // through output channels, here into pipes whose readers lag behind.
  std::vector<Line> lines;
  std::optional<LaggingReader> err_reader, out_reader;
  std::optional<cli::OutputChannel> err_channel, out_channel;
  std::optional<cli::BoardRows> rows;
  std::optional<cli::JsonEventWriter> json;
  int json_fd = -1;
  if (p.pipes) {
    err_reader.emplace(p.seed ^ 0x5851F42D4C957F2Dull);
    out_reader.emplace(p.seed ^ 0x14057B7EF767814Full);
    err_channel.emplace(err_reader->fd(), loop, cli::OutputChannel::Options{});
    cli::OutputChannel::Options events;
    if (p.json_bound > 0) events.ordinary_bound = p.json_bound;
    events.drop_notice = cli::JsonDropNotice;
    out_channel.emplace(out_reader->fd(), loop, std::move(events));
    rows.emplace(*err_channel, /*terminal=*/false);
    json.emplace(*out_channel);
  } else {
    rows.emplace(false);
    rows->sink = [&](std::string_view text) { lines.push_back({loop.now(), std::string(text)}); };
    json_fd = test::OpenForWriting(json_path.string());
    json.emplace(json_fd);
  }
  cli::LineOptions o;
  o.file = hex_path.string();
  o.all = p.mode != Mode::Loop;
  o.expect = p.expect;
  o.device.wait_seconds = p.wait_seconds;
  o.device.ports = p.ports;
  o.loop = p.mode == Mode::Loop;
  o.count = p.count;
  o.yes = p.yes;
  auto line = std::make_unique<cli::ProductionLine>(loop, watched, o, *rows);
  line->json = &*json;
  // The run's order of pulls, stops and results.
  std::uint64_t order = 0;
  std::vector<BoardResult> in_order;  // the results as they came
  line->on_result = [&](const BoardResult& r) {
    ++order;
    in_order.push_back(r);
    for (Board& b : boards) {
      if (b.sim && b.path == r.path) {
        b.ended = loop.now();
        b.result = order;
      }
    }
  };
  std::vector<TimerId> timers;
  Micros stopped_at = -1;
  std::uint64_t stop_order = 0;
  bool hung = false;
  std::vector<Hold> held;  // each hold as it came: the loop's time then, and its length
  std::vector<bool> slowed(p.boards.size(), false);
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
        boards[i].pulled = ++order;
        boards[i].sim->Unplug();
      }));
    }
    // Slow writes, on and off; a device that has stopped taking reports
    // keeps its writes stalled.
    for (const Appearance::SlowWrites& w : a.slow_writes) {
      auto set = [&, i](Micros delay) {
        Board& b = boards[i];
        if (!b.sim || !b.sim->attached() || b.sim->model().deaf()) return;
        backend.Update(b.sim->id(), [delay](VirtualHidSpec& spec) { spec.write_delay = delay; });
        if (delay > 0) slowed[i] = true;
      };
      timers.push_back(loop.schedule_at(w.at, [set, d = w.delay] { set(d); }));
      timers.push_back(loop.schedule_at(w.at + w.length, [set] { set(0); }));
    }
  }
  for (const Hold& h : p.holds) {
    timers.push_back(loop.schedule_at(h.at, [&, length = h.length] {
      held.push_back({loop.now(), length});
      loop.Hold(length);
    }));
  }
  if (p.stop_at >= 0) {
    timers.push_back(loop.schedule_at(p.stop_at, [&] {
      stopped_at = loop.now();
      stop_order = ++order;
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
  check(!hung, "the line did not end by itself");
  if (!held.empty()) {
    ++tally.held_runs;
    tally.holds += static_cast<int>(held.size());
  }
  // A slow spell the run's end cut short ends here, before the boards are
  // asked again.
  for (Board& b : boards)
    if (b.sim && b.sim->attached() && !b.sim->model().deaf())
      backend.Update(b.sim->id(), [](VirtualHidSpec& spec) { spec.write_delay = 0; });

  // What the channels still hold reaches the readers, however they lag.
  std::string json_text;
  std::uint64_t events_dropped = 0;
  if (p.pipes) {
    // The readers are waited for without turning the loop over and over
    // (nothing in it is the channels' until they have drained), and for
    // far longer than they ever stop; Finish then only confirms. A channel
    // that keeps text it never writes is given up, as a stop signal would.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool drained = true;
    for (cli::OutputChannel* c : {&*out_channel, &*err_channel}) {
      while (c->backlog() > 0 && !c->failed() && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      drained = drained && (c->backlog() == 0 || c->failed());
    }
    check(drained, "an output channel kept text it did not write, its reader waiting");
    if (drained) {
      check(out_channel->Finish({}) && err_channel->Finish({}), "the output channels did not finish");
    } else {
      out_channel->Abandon();
      err_channel->Abandon();
    }
    check(!out_channel->failed() && !err_channel->failed(), "an output channel failed on a pipe that was read");
    check(err_channel->dropped() == 0, "stderr lines dropped below the program's bound");
    events_dropped = out_channel->dropped();
    json.reset();
    rows.reset();
    out_channel.reset();
    err_channel.reset();
    json_text = out_reader->Finish();
    const std::string err_text = err_reader->Finish();
    check(err_text.empty() || err_text.back() == '\n', "stderr ends inside a line");
    std::istringstream in(err_text);
    for (std::string text; std::getline(in, text);) lines.push_back({-1, text});
    ++tally.pipe_runs;
    if (events_dropped > 0) ++tally.runs_dropping_events;
  } else {
    json.reset();
    ::close(json_fd);
    std::ifstream in(json_path, std::ios::binary);
    json_text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
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
  tally.sessions += taken;
  check(static_cast<int>(results.size() - missing.size()) == taken,
        std::to_string(results.size()) + " results for " + std::to_string(taken) + " boards taken");
  if (p.mouse) check(backend.WriteCount(mouse) == 0, "the mouse was written to");

  // ---- The lines: each board's own, and the line's ------------------------------
  // A board that comes back on its port shows under the same label. Its
  // lines belong to the oldest appearance still without its result: when
  // the process was held across the unplug and the return, the old one's
  // removal and result lines come after the new one's "Found:".
  auto is_result_line = [](const std::string& text) {
    return text.rfind("Done (", 0) == 0 || text.rfind("Failed: ", 0) == 0 || text.rfind("Interrupted: ", 0) == 0;
  };
  std::map<std::string, std::vector<std::vector<Line>>> segments;  // label: one per appearance, from "Found:"
  std::map<std::string, std::size_t> closed;                       // label: appearances with their result line
  std::vector<Line> plain;
  std::size_t stop_line = lines.size();  // where "Stopping every board..." is
  for (std::size_t place = 0; place < lines.size(); ++place) {
    const Line& l = lines[place];
    if (l.text == "Stopping every board..." && stop_line == lines.size()) stop_line = place;
    const std::size_t close = l.text.find("] ");
    if (l.text.rfind("[", 0) != 0 || close == std::string::npos) {
      plain.push_back(l);
      continue;
    }
    const std::string label = l.text.substr(1, close - 1);
    const std::string text = l.text.substr(close + 2);
    auto& segs = segments[label];
    if (text.rfind("Found: ", 0) == 0) {
      segs.push_back({{l.at, text, place}});
      continue;
    }
    std::size_t& done = closed[label];
    if (done >= segs.size()) {
      check(false, "line outside its board's \"Found:\" and result: " + l.text);
      continue;
    }
    segs[done].push_back({l.at, text, place});
    if (is_result_line(text)) ++done;
  }
  // Every board's result line, in the order the results came (a missing
  // port's is a plain line).
  {
    std::vector<std::string> got, want;
    for (const Line& l : lines) {
      const std::size_t close = l.text.find("] ");
      if (l.text.rfind("[", 0) == 0 && close != std::string::npos) {
        const std::string text = l.text.substr(close + 2);
        if (is_result_line(text)) got.push_back(l.text.substr(1, close - 1));
      } else if (l.text.rfind("No bootloader on port ", 0) == 0) {
        got.push_back(l.text);
      }
    }
    for (const BoardResult& r : in_order)
      want.push_back(r.missing ? "No bootloader on port " + r.port + "."
                               : (r.port.empty() ? r.path : r.port) + (r.serial.empty() ? "" : " " + r.serial));
    check(got == want, "the result lines are not the results in the order they came");
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
      // A write command the device dropped (no answer) leaves its data
      // blocks to be read as commands: what the device recorded after it is
      // none of the host's doing.
      std::vector<sim::CommandRecord> commands = m.commands();
      int misread_from = 0;  // the first step read from data (0: none)
      if (a.fault.kind == sim::FaultKind::NoAnswer && a.fault.step > 0) {
        for (std::size_t k = 0; k < commands.size(); ++k) {
          if (commands[k].step == a.fault.step && commands[k].code == CMD_WRITE) {
            misread_from = a.fault.step + 1;
            commands.resize(k + 1);
            break;
          }
        }
      }
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

      // A removal or a stop ends the board's wait at once: its result comes
      // after it. (A hold runs what fell due meanwhile at one time, so the
      // run's order tells, not the clock.)
      const bool pulled = b.pulled != 0 && (b.result == 0 || b.pulled < b.result);
      bool stop_hit = stop_order != 0 && (b.result == 0 || stop_order < b.result);
      // A stop a hold made late runs after what fell due before it: a wait
      // decided before the stop (an answer, a time-out) ends as it would
      // have, its result coming at the very time the stop ran. Such a board
      // ends as if the stop had not come (and starts nothing new after it,
      // below).
      const bool decided_before_stop =
          stop_hit && stopped_at > p.stop_at && b.ended == stopped_at && r.code != ExitCode::Interrupted;
      if (decided_before_stop) {
        stop_hit = false;
        ++tally.decided_before_stop;
      }

      // What the device was sent, by its own record: one boot-info request,
      // none for a device deaf from the start, and maybe none for one pulled
      // while it was slow to take the request.
      const bool deaf_from_start = a.fault.kind == sim::FaultKind::Deaf && a.fault.step <= 1;
      const auto boot_info_requests = count(CMD_BOOT_INFO);
      say(boot_info_requests == (a.trouble == Trouble::None && !deaf_from_start ? 1 : 0) ||
              (pulled && slowed[i] && boot_info_requests == 0),
          "boot-info requests: " + std::to_string(boot_info_requests));
      say(count(CMD_RESET) <= 1, "more than one reset");
      if (host) why << test::CheckEraseAndWrites(commands, *host);
      else say(erase_or_write == 0, "erased or wrote without a boot-info line");
      if (genuine) {
        say(std::none_of(m.refused().begin(), m.refused().end(),
                         [&](const sim::CommandRecord& c) { return misread_from == 0 || c.step < misread_from; }),
            "the device refused a command or saw a write over unerased flash");
        say(m.BootAreaIntact(), "the bootloader area was touched");
      }

      // What struck the board itself. A device that stopped taking reports:
      // a report handed to its writer never reached it (the writer tells of
      // every one it took), and from when that report was under way.
      const WatchedBackend::Writes& writes = watched.writes[b.path];
      // The reset is the upload's last step: a board that had handed it to
      // its writer before the stop ran had nothing left to stop; its result
      // waits only for the reset to have gone out. (No reset ever starts
      // after a stop: checked below.)
      if (stop_hit && r.code == ExitCode::Success && m.reset_seen() && !writes.handed.empty() &&
          writes.handed.back() <= stopped_at) {
        stop_hit = false;
        ++tally.reset_before_stop;
      }
      const std::size_t reports_taken = b.sim->received().size();
      const bool deaf = a.fault.kind == sim::FaultKind::Deaf && m.deaf() && writes.handed.size() > reports_taken;
      Micros under_way = -1;
      if (deaf) {
        under_way = writes.handed[reports_taken];
        if (reports_taken > 0 && writes.done.size() >= reports_taken)
          under_way = std::max(under_way, writes.done[reports_taken - 1]);
        ++tally.deaf_boards;
      }
      const bool fault_struck = deaf || (a.fault.kind != sim::FaultKind::None && a.fault.kind != sim::FaultKind::Deaf &&
                                         (a.fault.step == 0 ? m.steps() > 0 : m.steps() >= a.fault.step));
      const bool undisturbed = !fault_struck && a.trouble == Trouble::None && !pulled && !stop_hit;
      // What was slow around it: nothing of it is a fault of the board's.
      std::string around;
      if (slowed[i]) around += ", slow writes";
      if (a.input_delay > 0) around += ", reports handed over late";
      if (!held.empty()) around += ", the process held";
      if (p.pipes) around += ", lagging readers";
      if (!around.empty()) around = " (" + around.substr(2) + ")";
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
            "no fault of its own, yet it did not end as \"" + (e.refused ? "refused" : e.message) + "\"" + around);
        // The packets it was sent, as the device counts them.
        const std::int64_t steps = m.steps();
        say(e.code == ExitCode::Success       ? steps == CompletedSteps(dev, L)
            : e.code == ExitCode::HexRejected ? steps == 1
            : e.message == "no answer"        ? steps >= LastAwaitedStep(a.Device(), L, p.yes)
                                              : steps == 3,
            "the device counted " + std::to_string(steps) + " steps");
        if (slowed[i]) ++tally.slowed_undisturbed;
        if (!held.empty()) ++tally.held_undisturbed;
        if (a.input_delay > 0) ++tally.late_reader_undisturbed;
        if (p.pipes) ++tally.piped_undisturbed;
        // Its only error line: the refusal of a layout or file it cannot take.
        for (const Line& l : seg)
          say(!Contains(l.text, "Error")
                  ? !Contains(l.text, "Stopping") && !Contains(l.text, "bootloader mode")
                  : (e.refused && test::IsUploadRefusal(l.text)) ||
                        (e.message == "no answer" && l.text == "Error: Timeout waiting for MCU."),
              "no fault of its own, yet it says: " + l.text + around);
      }
      // Only a device that stopped taking reports is said to have; one that
      // did fails alone, saying so, one write time limit after the report
      // it did not take went under way (and no later than the holds in
      // between allow), unless it was pulled or stopped first.
      const std::string stalled_line =
          "Error: Device " + (r.device.empty() ? std::string() : r.device + " ") + "stopped taking reports.";
      const bool says_stalled = r.message == kStalled || std::any_of(seg.begin(), seg.end(), [](const Line& l) {
                                  return Contains(l.text, "stopped taking reports");
                                });
      say(!says_stalled || deaf, "stopped taking reports, though its device took every report it was handed" + around);
      if (deaf && !pulled && !stop_hit) {
        say(r.code == ExitCode::Failed && r.message == kStalled,
            "its device stopped taking reports, yet it did not fail so");
        say(std::any_of(seg.begin(), seg.end(), [&](const Line& l) { return l.text == stalled_line; }),
            "no line \"" + stalled_line + "\"");
        Micros held_then = 0;
        for (const Hold& h : held)
          if (h.at >= under_way && h.at < b.ended) held_then += h.length;
        const Micros took = b.ended - under_way;
        say(took >= kHidWriteTimeLimit && took <= kHidWriteTimeLimit + held_then + from_ms(50),
            "its stalled write ended it " + std::to_string(took) + " us after it went under way (held " +
                std::to_string(held_then) + " us meanwhile)");
      }
      say(r.code != ExitCode::Interrupted || stop_hit, "stopped without a stop request");
      // A stop reaches every board still running: one with nothing else
      // wrong ends stopped, whatever step it was in.
      say(!stop_hit || fault_struck || pulled || a.trouble != Trouble::None || r.code == ExitCode::Interrupted,
          "a stop request came while it ran, yet it did not stop");
      say(!Contains(r.message, "removed") || pulled || (fault_struck && a.fault.kind == sim::FaultKind::Unplug) ||
              misread_from > 0,
          "removed, but it was never unplugged");
      // After the stop request no board starts anything new: no handshake,
      // no upload, no reset; the command a board is in is finished.
      for (const Line& l : seg) {
        if (l.place > stop_line)
          say(l.text != "Waiting MCU response..." && l.text != "Uploading:" && l.text != "Completed successfully.",
              "went on after the stop request: " + l.text);
      }
      for (const Line& l : seg) {
        if (l.text.rfind("Error: Device ", 0) == 0 && l.text.ends_with(" removed."))
          say(l.text == "Error: Device " + r.device + " removed." && (pulled || fault_struck),
              "a removal it did not have, or not named by its own device: " + l.text);
      }
      // A board left before its upload ended holds only bytes of the image
      // where the plan puts them, or erased ones. An image the upload
      // refuses plans nothing: the flash stays blank.
      auto only_planned = [&] {
        const bool refusable = !test::LayoutUsable(dev) || L == 0 || (dev.McuType == 2 && L < 4);
        const std::vector<std::uint8_t> planned = refusable ? b.blank : test::ExpectedFlash(b.blank, dev, fimage);
        for (std::size_t x = 0; x < planned.size(); ++x)
          if (m.flash()[x] != planned[x] && m.flash()[x] != b.blank[x]) return false;
        return true;
      };
      if (deaf && genuine)
        say(only_planned(), "a device that stopped taking reports holds bytes that are not the image's");
      switch (r.code) {
        case ExitCode::Success: {
          // Pulled after its last block was answered, before its reset went
          // out: the upload is complete, and the reset lost with the board.
          const bool reset_lost = pulled && count(CMD_RESET) == 0;
          say((count(CMD_RESET) == 1 && !commands.empty() && commands.back().code == CMD_RESET) || reset_lost,
              "no reset last");
          say(std::count_if(seg.begin(), seg.end(), [](const Line& l) { return l.text == "Completed successfully."; }) == 1,
              "no \"Completed successfully.\"");
          say(!deaf, "completed, though its device stopped taking reports");
          if (genuine) {
            say(m.flash() == test::ExpectedFlash(b.blank, dev, fimage), "flash differs from the expected layout");
            say(m.steps() == CompletedSteps(dev, L) - (reset_lost ? 1 : 0),
                "the device counted " + std::to_string(m.steps()) + " steps");
            why << test::CheckCompletedCommands(commands, dev, L);
            const test::Layout plan = test::PlanFor(dev, L);
            say(r.bytes == plan.write_length + dev.EraseBlockSize, "bytes in the result: " + std::to_string(r.bytes));
          }
          break;
        }
        case ExitCode::Interrupted: {
          say(count(CMD_RESET) == 0, "reset after a stop");
          if (!genuine) break;
          if (misread_from == 0) say(only_planned(), "a stopped upload programmed bytes that are not the image's");
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
  // Through a channel whose reader lags, a board's progress may come as its
  // latest only, and phase events past the channel's bound are left out and
  // counted; nothing else is lost or reordered.
  {
    std::istringstream in(json_text);
    std::map<std::string, int> found, lost, result, missing_events;
    std::map<std::string, std::int64_t> progress_total, progress_done;
    std::optional<nlohmann::json> summary;
    std::vector<std::string> result_events;  // path (or missing port), in order
    std::uint64_t dropped_told = 0;
    check(json_text.empty() || json_text.back() == '\n', "the events end inside a line");
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
      if (kind == "events-dropped") {
        const std::int64_t n = e.value("count", std::int64_t{0});
        check(n > 0 && p.pipes, "a notice of dropped events without any: " + text);
        dropped_told += static_cast<std::uint64_t>(std::max<std::int64_t>(n, 0));
        continue;
      }
      const nlohmann::json& board = e["board"];
      const std::string path = board.is_object() && board["path"].is_string() ? board["path"].get<std::string>() : "";
      if (path.empty() && kind == "result" && board["port"].is_string() && board["serial"].is_null() &&
          missing.count(board["port"].get<std::string>()) != 0 && e.value("exit_class", "") == "no-device" &&
          ++missing_events[board["port"].get<std::string>()] == 1) {
        result_events.push_back(board["port"].get<std::string>());
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
        result_events.push_back(path);
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
      // Its leaving is told when it ended the board, and after a reset the
      // line waits for it (unless a stop came).
      check(lost[b.path] == 1 || b.sim->attached() ||
                (!Contains(r.message, "removed") && (r.code != ExitCode::Success || stop_order != 0)),
            who + "left the bus, and no board-lost");
      const TBootInfo dev = p.boards[i].Device().info;
      if (r.code == ExitCode::Success && r.device == dev.BootDeviceName) {
        const std::int64_t W = test::PlanFor(dev, static_cast<std::int64_t>(FamilyImage(image, dev).size())).write_length;
        check(progress_total[b.path] == W && progress_done[b.path] == W, who + "progress does not reach the main write");
      }
    }
    check(missing_events.size() == missing.size(), "not one result event for each port missing");
    check(dropped_told == events_dropped, "the notices count " + std::to_string(dropped_told) +
                                              " events dropped, the channel " + std::to_string(events_dropped));
    tally.events_dropped += events_dropped;
    {
      std::vector<std::string> want;
      for (const BoardResult& r : in_order) want.push_back(r.missing ? r.port : r.path);
      check(result_events == want, "the result events are not the results in the order they came");
    }
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
  // In port order as people count: 1-2 before 1-10 (the ports here are a
  // name and a number, or a node's path).
  auto port_of = [](const BoardResult& r) { return r.port.empty() ? r.path : r.port; };
  auto port_key = [&](const BoardResult& r) {
    const std::string name = port_of(r);
    std::size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1])) != 0) --digits;
    return std::make_pair(name.substr(0, digits), digits < name.size() ? std::stoll(name.substr(digits)) : -1LL);
  };
  for (std::size_t k = 1; k < results.size(); ++k)
    check(!(port_key(results[k]) < port_key(results[k - 1])),
          "the table puts " + port_of(results[k - 1]) + " before " + port_of(results[k]));
  check(row == results.size(), "the table has " + std::to_string(row) + " rows for " + std::to_string(results.size()) + " results");
  check(summary == (failed > 0), "the summary line does not agree with the results");
  check(no_board == (!claims.no_board_line.empty() && stopped_at < 0), "no line saying why no board was flashed");
  return bad.str();
}

// The CTest size; under AddressSanitizer, where every run costs several
// times as much, a third of it (the sanitizer looks for memory errors, which
// show in the first runs as well as in later ones).
#if defined(__SANITIZE_ADDRESS__)
constexpr std::uint64_t kDefaultRuns = 40;
#else
constexpr std::uint64_t kDefaultRuns = 120;
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
  std::printf("  %6d board sessions (boards taken)\n", tally.sessions);
  std::printf("  %6d boards whose last wait was decided before a stop that a hold made late\n",
              tally.decided_before_stop);
  std::printf("  %6d boards whose reset was on its way when the stop came\n", tally.reset_before_stop);
  std::printf("  around the boards:\n");
  std::printf("  %6d boards whose device stopped taking reports\n", tally.deaf_boards);
  std::printf("  %6d runs held (%d holds)\n  %6d runs into lagging pipes, %d of them with %llu events dropped\n",
              tally.held_runs, tally.holds, tally.pipe_runs, tally.runs_dropping_events,
              static_cast<unsigned long long>(tally.events_dropped));
  std::printf("  boards with no fault of their own that ended as the rules say:\n");
  std::printf(
      "  %6d with slow writes\n  %6d in held runs\n  %6d with reports handed over late\n  %6d into lagging pipes\n",
      tally.slowed_undisturbed, tally.held_undisturbed, tally.late_reader_undisturbed, tally.piped_undisturbed);
  // A soak whose boards all ended the same way would prove little, and one
  // that never met what it is for, nothing. (A failing run rerun alone is
  // not a soak.)
  if (count < kDefaultRuns) return;
  EXPECT_GT(tally.boards["completed"], 0);
  EXPECT_GT(tally.boards["stopped"], 0);
  EXPECT_GT(tally.untouched, 0);
  EXPECT_GT(tally.deaf_boards, 0);
  EXPECT_GT(tally.slowed_undisturbed, 0);
  EXPECT_GT(tally.held_undisturbed, 0);
  EXPECT_GT(tally.late_reader_undisturbed, 0);
  EXPECT_GT(tally.piped_undisturbed, 0);
}

}  // namespace
}  // namespace ql
