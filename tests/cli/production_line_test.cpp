// The production line on the virtual backend in virtual time: several
// boards at once, each flashed once per appearance, one board's trouble kept
// from the others.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cli/production_line.h"
#include "cli/simulated_boards.h"
#include "core/virtual_event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "tests/support/case_dir.h"
#include "tests/support/expected_flash.h"
#include "tests/support/test_pipe.h"
#include "tests/support/hex_text.h"

namespace ql::cli {
namespace {

const std::string kHex = std::string(QUELLOADER_FIXTURES) + "/pic18-app-6k.hex";
// Reaches into a PIC18F4550's bootloader area (0x7C00), not into a PIC18F46J50's (0xF000).
const std::string kIntoBoot = std::string(QUELLOADER_FIXTURES) + "/pic18-into-boot.hex";

// Answers the bootloader-area question when a test says, as a person at the
// terminal would: from the loop, some time after it was asked.
class ScriptedAnswers final : public AnswerReader {
 public:
  explicit ScriptedAnswers(EventLoop& loop) : loop_(loop) {}
  void Read(std::function<void(bool)> answered) override {
    pending_ = std::move(answered);
    asked_at.push_back(loop_.now());
  }
  void Cancel() override {
    pending_ = {};
    ++cancels;
  }
  bool open() const { return static_cast<bool>(pending_); }
  void Answer(bool yes) {
    ASSERT_TRUE(open()) << "no question is open";
    loop_.post([f = std::exchange(pending_, {}), yes] { f(yes); });
  }
  std::vector<Micros> asked_at;
  int cancels = 0;

 private:
  EventLoop& loop_;
  std::function<void(bool)> pending_;
};

// The --json events of a run, read back.
std::vector<nlohmann::json> Events(const std::filesystem::path& file) {
  std::vector<nlohmann::json> events;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) events.push_back(nlohmann::json::parse(line));
  return events;
}

class Line : public ::testing::Test {
 protected:
  Line() {
    rows.sink = [this](std::string_view text) { lines.emplace_back(text); };
  }
  std::unique_ptr<VirtualSimBootloader> Board(const char* preset, const std::string& port,
                                              sim::Fault fault = {}) {
    sim::Config config = *sim::Preset(preset);
    config.fault = fault;
    VirtualHidSpec spec;
    spec.port = port;
    return std::make_unique<VirtualSimBootloader>(backend, loop, config, spec);
  }
  LineOptions Options() {
    LineOptions o;
    o.file = kHex;
    o.yes = true;
    return o;
  }
  // The flash a completed upload of the fixture leaves on a pristine board.
  static std::vector<std::uint8_t> Oracle(VirtualSimBootloader& b) {
    const TBootInfo& info = b.model().config().info;
    sim::SimulatedBootloader pristine(b.model().config());
    FlashImage image;
    EXPECT_TRUE(LoadHexFile(kHex, FamilyFromMcuType(info.McuType), image).ok());
    const test::Layout plan = test::PlanFor(info, image.ImageEnd());
    return test::ExpectedFlash(pristine.flash(), info, image.bytes, plan.write_length,
                               plan.erase_blocks * info.EraseBlockSize);
  }
  const BoardResult* ResultOn(const ProductionLine& line, const std::string& port) const {
    for (const BoardResult& r : line.results())
      if (r.port == port) return &r;
    return nullptr;
  }
  bool Said(const std::string& text) const {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
  // Runs the line; one that has not ended within `limit` of virtual time
  // fails the test rather than hanging it.
  ExitCode RunWithin(ProductionLine& line, Micros limit = from_ms(600000)) {
    const TimerId guard =
        loop.schedule_at(loop.now() + limit, [] { throw std::runtime_error("the line did not end"); });
    const ExitCode code = line.Run();
    loop.cancel(guard);
    return code;
  }
  std::size_t Count(const std::string& text) const {
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
  }
  static int Erases(VirtualSimBootloader& b) {
    const auto& c = b.model().commands();
    return static_cast<int>(std::count_if(c.begin(), c.end(), [](const auto& r) { return r.code == CMD_ERASE; }));
  }
  static int Resets(VirtualSimBootloader& b) {
    const auto& c = b.model().commands();
    return static_cast<int>(std::count_if(c.begin(), c.end(), [](const auto& r) { return r.code == CMD_RESET; }));
  }

  VirtualEventLoop loop;
  VirtualHidBackend backend{loop};
  BoardRows rows{false};
  std::vector<std::string> lines;
};

// --all with four boards of different presets, one unplugged in the middle of
// its write and one silent: the others' flashes are what an upload leaves,
// and the results say which failed.
TEST_F(Line, AllFourBoardsOneUnpluggedOneSilent) {
  auto a = Board("pic18", "1-1");
  auto b = Board("pic18j", "1-2", {sim::FaultKind::Unplug, 8});  // its third data block
  auto c = Board("pic16", "1-3");
  auto d = Board("pic18", "1-4", {sim::FaultKind::Silent, 0});
  VirtualHidSpec mouse;
  mouse.product = "USB Mouse";
  mouse.port = "1-5";
  backend.Plug(mouse);
  LineOptions o = Options();
  o.all = true;
  ProductionLine line(loop, backend, o, rows);
  EXPECT_EQ(line.Run(), ExitCode::Failed);

  ASSERT_EQ(line.results().size(), 4u);  // the mouse is no board
  for (auto* ok : {a.get(), c.get()}) {
    EXPECT_EQ(ok->model().flash(), Oracle(*ok));
    EXPECT_EQ(Resets(*ok), 1);
  }
  EXPECT_EQ(ResultOn(line, "1-1")->code, ExitCode::Success);
  EXPECT_EQ(ResultOn(line, "1-3")->code, ExitCode::Success);
  EXPECT_EQ(ResultOn(line, "1-3")->family, "PIC16");
  EXPECT_GT(ResultOn(line, "1-1")->bytes, 6000);
  EXPECT_EQ(ResultOn(line, "1-2")->code, ExitCode::Failed);
  EXPECT_EQ(ResultOn(line, "1-2")->message, "removed during the upload");
  EXPECT_EQ(ResultOn(line, "1-4")->code, ExitCode::Failed);
  EXPECT_EQ(ResultOn(line, "1-4")->message, "the bootloader does not answer");
  // Each failure is told by its own board's lines.
  EXPECT_TRUE(Said("[1-2] Error: Device PIC18F46J50 removed."));
  EXPECT_TRUE(Said("[1-4] USB HID device is not in bootloader mode."));
  EXPECT_FALSE(Said("[1-1] Error"));
  EXPECT_FALSE(Said("[1-3] Error"));
  EXPECT_TRUE(Said("2 of 4 boards failed."));
  // Side by side: the whole took about as long as the slowest board alone.
  const double slowest = std::max(ResultOn(line, "1-1")->seconds, ResultOn(line, "1-3")->seconds);
  EXPECT_LT(static_cast<double>(loop.now()) / 1e6, slowest + 1.5);
}

// --loop: boards plugged in one after another and overlapping are each
// flashed exactly once per appearance; one that comes back is flashed again.
TEST_F(Line, LoopFlashesEachAppearanceOnce) {
  std::vector<std::unique_ptr<VirtualSimBootloader>> appearances;
  auto plug = [&](const char* preset, const char* port) { appearances.push_back(Board(preset, port)); };
  loop.schedule_at(from_ms(100), [&] { plug("pic18", "1-1"); });
  loop.schedule_at(from_ms(600), [&] { plug("pic16", "1-2"); });   // while 1-1 uploads
  loop.schedule_at(from_ms(700), [&] { plug("pic18j", "1-3"); });  // and 1-2
  loop.schedule_at(from_ms(9000), [&] { plug("pic18", "1-1"); });  // 1-1 again, after its reset
  LineOptions o = Options();
  o.loop = true;
  o.count = 4;
  ProductionLine line(loop, backend, o, rows);
  EXPECT_EQ(line.Run(), ExitCode::Success);
  ASSERT_EQ(line.results().size(), 4u);
  ASSERT_EQ(appearances.size(), 4u);
  for (auto& b : appearances) {
    EXPECT_EQ(Resets(*b), 1) << "one upload per appearance";
    EXPECT_EQ(b->model().flash(), Oracle(*b));
  }
  std::vector<std::string> ports;
  for (const BoardResult& r : line.results()) ports.push_back(r.port);
  std::sort(ports.begin(), ports.end());
  EXPECT_EQ(ports, (std::vector<std::string>{"1-1", "1-1", "1-2", "1-3"}));
  EXPECT_TRUE(Said("Waiting for bootloaders"));
}

// Only the boards on the given ports are flashed; the stop of a line stops
// every board soundly and ends with the table.
TEST_F(Line, PortsChooseTheBoardsAndAStopEndsThemAll) {
  auto a = Board("pic18", "1-1");
  auto b = Board("pic18", "1-2");
  auto c = Board("pic18", "1-3");
  LineOptions o = Options();
  o.device.ports = {"1-1", "1-3"};
  ProductionLine line(loop, backend, o, rows);
  loop.schedule_at(from_ms(400), [&] { line.Stop(); });  // in the middle of the writes
  EXPECT_EQ(line.Run(), ExitCode::Interrupted);
  ASSERT_EQ(line.results().size(), 2u);
  EXPECT_TRUE(b->received().empty()) << "1-2 was not asked for";
  for (const BoardResult& r : line.results()) EXPECT_EQ(r.code, ExitCode::Interrupted) << r.port;
  for (auto* stopped : {a.get(), c.get()}) {
    EXPECT_EQ(Resets(*stopped), 0);
    EXPECT_TRUE(stopped->model().refused().empty());
  }
  EXPECT_TRUE(Said("port"));  // the table's heading
}


// ---- One flow for one board and many ------------------------------------------------

// The bootloader-area question of several boards is asked on the terminal,
// one board at a time and naming it; while one board waits for its answer
// the others go on, and each board's answer decides for that board alone.
TEST_F(Line, TheQuestionIsAskedOneBoardAtATimeWhileTheOthersGoOn) {
  auto a = Board("pic18", "1-1");
  auto b = Board("pic18j", "1-2");  // the file stays below its bootloader: no question
  auto c = Board("pic18", "1-3");
  ScriptedAnswers answers(loop);
  LineOptions o = Options();
  o.file = kIntoBoot;
  o.yes = false;
  o.ask = true;
  o.all = true;
  ProductionLine line(loop, backend, o, rows);
  line.answers = &answers;
  std::map<std::string, Micros> ended;
  line.on_result = [&](const BoardResult& r) { ended[r.port] = loop.now(); };
  loop.schedule_at(from_ms(20000), [&] { answers.Answer(true); });   // 1-1's
  loop.schedule_at(from_ms(40000), [&] { answers.Answer(false); });  // then 1-3's
  EXPECT_EQ(RunWithin(line), ExitCode::Failed);

  ASSERT_EQ(answers.asked_at.size(), 2u) << "one question at a time";
  EXPECT_LT(answers.asked_at[0], from_ms(5000));
  EXPECT_GE(answers.asked_at[1], from_ms(20000)) << "the second only once the first is answered";
  EXPECT_EQ(Count("] Continue? [y/N]"), 2u);
  EXPECT_TRUE(Said("[1-1] Continue? [y/N]"));
  EXPECT_TRUE(Said("[1-3] Continue? [y/N]"));
  EXPECT_TRUE(Said("[1-1] Answered Yes."));
  EXPECT_TRUE(Said("[1-3] Answered No."));
  // The board without a question did not wait for anyone's answer.
  ASSERT_EQ(ended.count("1-2"), 1u);
  EXPECT_LT(ended["1-2"], from_ms(20000));
  EXPECT_EQ(ResultOn(line, "1-2")->code, ExitCode::Success);
  EXPECT_EQ(ResultOn(line, "1-1")->code, ExitCode::Success);
  EXPECT_EQ(Resets(*a), 1);
  EXPECT_GT(ended["1-1"], from_ms(20000));
  EXPECT_EQ(ResultOn(line, "1-3")->code, ExitCode::Failed);
  EXPECT_EQ(ResultOn(line, "1-3")->message, "declined at the bootloader-area question: nothing was written");
  EXPECT_EQ(Erases(*c), 0) << "No leaves the board as it was";
  EXPECT_EQ(Resets(*b), 1);
}

// A stop request while the question is open answers it No for that board:
// nothing has been erased, and the board counts as stopped, not failed.
TEST_F(Line, AStopAnswersAnOpenQuestionNo) {
  auto a = Board("pic18", "");
  ScriptedAnswers answers(loop);
  LineOptions o = Options();
  o.file = kIntoBoot;
  o.yes = false;
  o.ask = true;
  o.several = false;
  ProductionLine line(loop, backend, o, rows);
  line.answers = &answers;
  loop.schedule_at(from_ms(30000), [&] { line.Stop(); });
  EXPECT_EQ(RunWithin(line), ExitCode::Interrupted);
  EXPECT_EQ(answers.asked_at.size(), 1u);
  EXPECT_EQ(answers.cancels, 1) << "the terminal's read is given up";
  ASSERT_EQ(line.results().size(), 1u);
  EXPECT_TRUE(line.results()[0].stopped);
  EXPECT_EQ(line.results()[0].message, "stopped at the bootloader-area question: nothing was written");
  EXPECT_EQ(Erases(*a), 0);
  EXPECT_EQ(Resets(*a), 0);
  EXPECT_EQ(lines.back(), "Interrupted.");
}

// A board plugged in as the command starts: udev has not yet run its rule,
// so its node is still root's. One board is waited for, not skipped; one
// that udev leaves locked is refused with the remedy.
TEST_F(Line, ANodeUdevIsStillSettingUpIsWaitedFor) {
  for (const bool rule : {true, false}) {
    SCOPED_TRACE(rule ? "the rule opens it" : "no rule");
    VirtualEventLoop l;
    VirtualHidBackend be{l};
    VirtualHidSpec spec;
    spec.settling = spec.refuse_read_write = true;
    auto board = std::make_unique<VirtualSimBootloader>(be, l, *sim::Preset("pic18"), spec);
    l.schedule_at(from_ms(300), [&] {
      if (rule) be.Update(board->id(), [](VirtualHidSpec& s) { s.refuse_read_write = false; });
      be.Announce(board->id(), "add");
    });
    std::vector<std::string> said;
    BoardRows r(false);
    r.sink = [&](std::string_view t) { said.emplace_back(t); };
    LineOptions o = Options();
    o.several = false;
    ProductionLine line(l, be, o, r);
    const ExitCode code = line.Run();
    ASSERT_EQ(line.results().size(), 1u);
    if (rule) {
      EXPECT_EQ(code, ExitCode::Success);
      EXPECT_EQ(Resets(*board), 1);
    } else {
      EXPECT_EQ(code, ExitCode::PermissionDenied);
#ifdef _WIN32
      // No udev there: the system's own refusal, said as such.
      EXPECT_EQ(line.results()[0].message.find("udev"), std::string::npos) << line.results()[0].message;
      EXPECT_NE(line.results()[0].message.find("Windows lets no program open"), std::string::npos)
          << line.results()[0].message;
#else
      EXPECT_NE(line.results()[0].message.find("70-quelloader.rules"), std::string::npos) << line.results()[0].message;
#endif
      EXPECT_TRUE(board->received().empty());
      // Refused only once the settle time is over.
      EXPECT_GE(l.now(), from_ms(5000));
    }
  }
}

// --path names the node: any HID device there is the bootloader, whatever
// its product string says.
TEST_F(Line, PathTakesAnyHidDeviceThere) {
  VirtualHidSpec renamed;
  renamed.product = "Acme Loader";
  auto a = std::make_unique<VirtualSimBootloader>(backend, loop, *sim::Preset("pic18"), renamed);
  auto other = Board("pic18", "1-2");
  LineOptions o = Options();
  o.several = false;
  o.device.path = backend.Path(a->id());
  ProductionLine line(loop, backend, o, rows);
  EXPECT_EQ(line.Run(), ExitCode::Success);
  EXPECT_EQ(Resets(*a), 1);
  EXPECT_TRUE(other->received().empty());
}

// Two bootloaders and nothing to tell them apart: a usage error that lists
// them, rather than flashing whichever the kernel listed first.
TEST_F(Line, TwoBootloadersWithoutAChoiceAreListed) {
  auto a = Board("pic18", "1-1");
  VirtualHidSpec spec;
  spec.port = "1-2";
  spec.serial = "B2";
  auto b = std::make_unique<VirtualSimBootloader>(backend, loop, *sim::Preset("pic16"), spec);
  LineOptions o = Options();
  o.several = false;
  ProductionLine line(loop, backend, o, rows);
  EXPECT_EQ(line.Run(), ExitCode::Usage);
  EXPECT_TRUE(Said("more than one bootloader is attached; choose one with --port, --serial or --path"));
  EXPECT_TRUE(Said("  port 1-1  " + backend.Path(a->id()) + "  USB HID Bootloader"));
  EXPECT_TRUE(Said("  port 1-2  " + backend.Path(b->id()) + "  USB HID Bootloader (Serial=B2)"));
  EXPECT_TRUE(a->received().empty());
  EXPECT_TRUE(b->received().empty());
}

// One board: plain lines (no board label, no table), the Device line with its
// node, the one-board summary, and the board's own exit code.
TEST_F(Line, OneBoardPrintsPlainLinesAndEndsWithItsOwnCode) {
  {
    auto a = Board("pic18", "1-1");
    const std::string path = backend.Path(a->id());
    LineOptions o = Options();
    o.several = false;
    ProductionLine line(loop, backend, o, rows);
    EXPECT_EQ(line.Run(), ExitCode::Success);
    for (const std::string& l : lines) EXPECT_NE(l.front(), '[') << l;
    EXPECT_FALSE(Said("port  "));  // no table
    EXPECT_TRUE(
        Said("Device: PIC18F4550 (PIC18) at " + path + ", bootloader at 0x7C00, erase block 64, write block 32"));
    const BoardResult& r = line.results().at(0);
    char summary[96];
    std::snprintf(summary, sizeof summary, "Wrote %lld bytes of a %lld-byte image in %lld blocks in ",
                  static_cast<long long>(r.bytes), static_cast<long long>(r.image_bytes),
                  static_cast<long long>(r.blocks));
    EXPECT_EQ(lines.back().rfind(summary, 0), 0u) << lines.back();
    // The main write rounds the 6290 bytes up to write blocks of 32 (6304,
    // in blocks of 64 bytes and a last one of 32); then the final erase block.
    EXPECT_EQ(r.image_bytes, 6290);
    EXPECT_EQ(r.bytes, 6304 + 64);
    EXPECT_EQ(r.blocks, 99 + 1);
  }
  // A file that holds nothing for the board's family (a PIC18's
  // configuration bits alone) is rejected for it: exit 3, before the handshake.
  const std::filesystem::path config_only = test::CaseDir() / "config-only.hex";
  const std::uint8_t upper[2] = {0x00, 0x30}, bits[2] = {0x00, 0x1E};
  std::ofstream(config_only) << test::HexRecord(4, 0, upper, 2) << "\n"
                             << test::HexRecord(0, 0, bits, 2) << "\n:00000001FF\n";
  lines.clear();
  auto b = Board("pic18", "1-2");
  LineOptions o = Options();
  o.file = config_only.string();
  o.several = false;
  ProductionLine line(loop, backend, o, rows);
  EXPECT_EQ(line.Run(), ExitCode::HexRejected);
  EXPECT_EQ(line.results().at(0).message, "the HEX file holds no data for a PIC18 program memory");
  const auto& c = b->model().commands();
  EXPECT_TRUE(std::none_of(c.begin(), c.end(), [](const auto& x) { return x.code == CMD_HANDSHAKE_1; }));
}

// A refusal carries its real cause into the result (and with it the JSON
// and the log), not one text for every refusal.
TEST_F(Line, ARefusalNamesItsCause) {
  sim::Config zero = *sim::Preset("pic18");
  zero.info.EraseBlockSize = 0;
  VirtualHidSpec spec;
  spec.port = "1-1";
  auto a = std::make_unique<VirtualSimBootloader>(backend, loop, zero, spec);
  sim::Config low = *sim::Preset("pic18");
  low.info.BootStart = 0x40;
  spec.port = "1-2";
  auto b = std::make_unique<VirtualSimBootloader>(backend, loop, low, spec);
  LineOptions o = Options();
  o.all = true;
  ProductionLine line(loop, backend, o, rows);
  EXPECT_EQ(line.Run(), ExitCode::Failed);
  EXPECT_EQ(ResultOn(line, "1-1")->message, "Device reports an erase block size of 0; cannot upload.");
  EXPECT_EQ(ResultOn(line, "1-2")->message,
            "Device reports a bootloader start address of 0x40, which leaves no room for the program below the "
            "bootloader; cannot upload.");
}

// ---- Nothing around a board may fail the others ----------------------------------

// An exception inside one board's flow (a reader thread that cannot be
// created) ends that board as failed with its message; the others go on,
// and the line ends.
TEST_F(Line, AnExceptionInOneBoardsFlowFailsThatBoardAlone) {
  auto a = Board("pic18", "1-1");
  VirtualHidSpec spec;
  spec.port = "1-2";
  spec.reader_error = EAGAIN;
  auto broken = std::make_unique<VirtualSimBootloader>(backend, loop, *sim::Preset("pic18"), spec);
  auto c = Board("pic16", "1-3");
  LineOptions o = Options();
  o.all = true;
  ProductionLine line(loop, backend, o, rows);
  EXPECT_EQ(RunWithin(line), ExitCode::Failed);
  ASSERT_EQ(line.results().size(), 3u);
  EXPECT_EQ(ResultOn(line, "1-1")->code, ExitCode::Success);
  EXPECT_EQ(ResultOn(line, "1-3")->code, ExitCode::Success);
  EXPECT_EQ(ResultOn(line, "1-2")->code, ExitCode::Failed);
  EXPECT_NE(ResultOn(line, "1-2")->message.find("cannot start the reader"), std::string::npos)
      << ResultOn(line, "1-2")->message;
  EXPECT_TRUE(Said("[1-2] Failed: cannot start the reader"));
  EXPECT_TRUE(broken->received().empty());
}

// ---- Failure is never reported as success ------------------------------------------

// Every --port named is a board expected: --wait waits for it, and one that
// never shows is a result of its own ("missing"), in the table, the events
// and the log, and the run fails.
TEST_F(Line, APortNamedThatNeverShowsIsMissing) {
  auto a = Board("pic18", "sim-1");
  auto b = Board("pic18", "sim-2");
  const std::filesystem::path dir = test::FreshCaseDir();
  const int fd = test::OpenForWriting((dir / "events.jsonl").string());
  JsonEventWriter json(fd);
  std::string error;
  auto log = ProductionLog::Open((dir / "boards.log").string(), error);
  ASSERT_TRUE(log) << error;
  LineOptions o = Options();
  o.device.ports = {"sim-1", "sim-2", "sim-3"};
  o.device.wait_seconds = 10;
  ProductionLine line(loop, backend, o, rows);
  line.json = &json;
  line.log = &*log;
  EXPECT_EQ(line.Run(), ExitCode::Failed);
  ::close(fd);
  EXPECT_GE(loop.now(), from_ms(10000)) << "sim-3 was waited for";
  ASSERT_EQ(line.results().size(), 3u);
  const BoardResult* missing = ResultOn(line, "sim-3");
  ASSERT_NE(missing, nullptr);
  EXPECT_TRUE(missing->missing);
  EXPECT_EQ(missing->code, ExitCode::NoDevice);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("sim-3 ", 0) == 0 && l.find(" missing ") != std::string::npos;
  })) << "no table row for sim-3";
  EXPECT_TRUE(Said("1 of 3 boards failed."));
  bool event = false;
  for (const nlohmann::json& e : Events(dir / "events.jsonl")) {
    if (e["event"] == "result" && e["board"]["port"] == "sim-3") {
      event = true;
      EXPECT_EQ(e["exit_class"], "no-device");
      EXPECT_TRUE(e["board"]["path"].is_null());
    }
    if (e["event"] == "summary") {
      EXPECT_EQ(e["failed"], 1);
    }
  }
  EXPECT_TRUE(event) << "no result event for sim-3";
  std::ifstream in(dir / "boards.log");
  int records = 0, missing_records = 0;
  for (std::string l; std::getline(in, l); ++records) {
    const nlohmann::json rec = nlohmann::json::parse(l);
    if (rec["port"] == "sim-3") missing_records += rec["exit_class"] == "no-device" ? 1 : 0;
  }
  EXPECT_EQ(records, 3);
  EXPECT_EQ(missing_records, 1);

  // None of them there at all: exit 4, and what is attached is listed
  // rather than "no HID device named ... is attached".
  lines.clear();
  auto c = Board("pic18", "sim-5");
  LineOptions none = Options();
  none.device.ports = {"1-9"};
  none.several = false;
  ProductionLine nothing(loop, backend, none, rows);
  EXPECT_EQ(nothing.Run(), ExitCode::NoDevice);
  EXPECT_TRUE(Said("No bootloader on port 1-9."));
  EXPECT_TRUE(Said("Attached bootloaders:"));
  EXPECT_TRUE(Said("  port sim-5  " + backend.Path(c->id()) + "  USB HID Bootloader"));
  EXPECT_TRUE(c->received().empty());
  EXPECT_FALSE(Said("no HID device named"));
}

// A stop ends a shift with its own code only when it was clean: a board
// that failed before it makes the exit code 1; a board stopped by it is no
// failure.
TEST_F(Line, AStoppedLoopTellsACleanShiftFromOneWithFailures) {
  for (const bool with_failure : {false, true}) {
    SCOPED_TRACE(with_failure ? "with a failure" : "clean");
    VirtualEventLoop l;
    VirtualHidBackend be{l};
    std::vector<std::unique_ptr<VirtualSimBootloader>> plugged;
    auto plug = [&](const char* port, sim::Fault fault) {
      sim::Config config = *sim::Preset("pic18");
      config.fault = fault;
      VirtualHidSpec spec;
      spec.port = port;
      plugged.push_back(std::make_unique<VirtualSimBootloader>(be, l, config, spec));
    };
    l.schedule_at(from_ms(100), [&] { plug("1-1", {}); });
    l.schedule_at(from_ms(200), [&] {
      plug("1-2", with_failure ? sim::Fault{sim::FaultKind::Silent, 0} : sim::Fault{});
    });
    l.schedule_at(from_ms(20000), [&] { plug("1-3", {}); });  // stopped in the middle of its write
    BoardRows r(false);
    r.sink = [](std::string_view) {};
    LineOptions o = Options();
    o.loop = true;
    ProductionLine line(l, be, o, r);
    l.schedule_at(from_ms(20400), [&] { line.Stop(); });
    EXPECT_EQ(line.Run(), with_failure ? ExitCode::Failed : ExitCode::Interrupted);
    ASSERT_EQ(line.results().size(), 3u);
    EXPECT_TRUE(line.results()[2].stopped);
    EXPECT_EQ(line.results()[2].code, ExitCode::Interrupted);
  }
}

// The line waits a moment for the boards it reset to leave the bus, so that
// every one's departure is an event; each board's first phase is told; a
// success says so in its message.
TEST_F(Line, SixteenBoardsEachSeenLeavingAfterItsReset) {
  std::vector<std::unique_ptr<VirtualSimBootloader>> boards;
  for (int i = 1; i <= 16; ++i) boards.push_back(Board("pic18", "sim-" + std::to_string(i)));
  const std::filesystem::path file = test::FreshCaseDir() / "events.jsonl";
  const int fd = test::OpenForWriting(file.string());
  JsonEventWriter json(fd);
  LineOptions o = Options();
  o.all = true;
  ProductionLine line(loop, backend, o, rows);
  line.json = &json;
  EXPECT_EQ(line.Run(), ExitCode::Success);
  ::close(fd);
  std::map<std::string, std::vector<std::string>> seen;  // port: events, phases by name
  for (const nlohmann::json& e : Events(file)) {
    if (e["event"] == "summary") continue;
    const std::string port = e["board"]["port"];
    seen[port].push_back(e["event"] == "phase" ? "phase " + e["phase"].get<std::string>()
                                               : e["event"].get<std::string>());
    if (e["event"] == "result") {
      EXPECT_EQ(e["message"], "Upload completed");
    }
  }
  ASSERT_EQ(seen.size(), 16u);
  for (const auto& [port, events] : seen) {
    SCOPED_TRACE(port);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0], "board-found");
    EXPECT_EQ(events[1], "phase attached");
    EXPECT_EQ(std::count(events.begin(), events.end(), "board-lost"), 1);
  }
}

// A log that cannot take a board's record fails that board's result, so the
// table, the summary and the exit code agree on what failed; an event stream
// that cannot be written fails the run with one line.
TEST_F(Line, AnOutputThatCannotBeWrittenFailsTheRun) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  auto a = Board("pic18", "1-1");
  auto b = Board("pic18", "1-2");
  std::string error;
  auto log = ProductionLog::Open("/dev/full", error);
  ASSERT_TRUE(log) << error;
  LineOptions o = Options();
  o.all = true;
  ProductionLine line(loop, backend, o, rows);
  line.log = &*log;
  EXPECT_EQ(line.Run(), ExitCode::Failed);
  for (const BoardResult& r : line.results()) {
    EXPECT_EQ(r.code, ExitCode::Failed) << r.port;
    EXPECT_EQ(r.message, "flashed, but its --log record could not be written") << r.port;
  }
  EXPECT_EQ(Count("Error: Cannot write to the log file"), 1u) << "said once";
  EXPECT_TRUE(Said("2 of 2 boards failed."));

  lines.clear();
  auto c = Board("pic18", "1-3");
  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  JsonEventWriter json(full);
  LineOptions one = Options();
  one.several = false;
  ProductionLine line2(loop, backend, one, rows);
  line2.json = &json;
  EXPECT_EQ(line2.Run(), ExitCode::Failed);
  ::close(full);
  EXPECT_EQ(Count("Error: the --json events could not be written"), 1u);
  EXPECT_EQ(Resets(*c), 1) << "the board itself was flashed";
}

// ---- Terminal polish -------------------------------------------------------------

// The table is in port order as people count (1-2 before 1-10), whatever
// order the boards ended in.
TEST_F(Line, TheTableIsInNaturalPortOrder) {
  auto a = Board("pic18", "1-10");  // plugged first, so it ends first
  auto b = Board("pic18", "1-9");
  auto c = Board("pic18", "1-2");
  LineOptions o = Options();
  o.all = true;
  std::vector<std::string> ended;
  ProductionLine line(loop, backend, o, rows);
  line.on_result = [&](const BoardResult& r) { ended.push_back(r.port); };
  EXPECT_EQ(line.Run(), ExitCode::Success);
  ASSERT_EQ(ended, (std::vector<std::string>{"1-10", "1-9", "1-2"})) << "the premise: they ended in plug order";
  std::vector<std::string> rows_seen;
  for (const std::string& l : lines)
    for (const char* port : {"1-2 ", "1-9 ", "1-10 "})
      if (l.rfind(port, 0) == 0) rows_seen.push_back(l.substr(0, l.find(' ')));
  EXPECT_EQ(rows_seen, (std::vector<std::string>{"1-2", "1-9", "1-10"}));
  std::vector<std::string> results;
  for (const BoardResult& r : line.results()) results.push_back(r.port);
  EXPECT_EQ(results, rows_seen) << "results() in table order";
}

}  // namespace
}  // namespace ql::cli

namespace ql::cli {
namespace {

// A stop that comes in the same turn of the loop as an answer (the loop was
// held, and both fell due meanwhile): the step that answer ends goes no
// further. Swept over the whole of one board's run, a hold of 10 ms ending
// just after each stop time: after the stop, the device receives no new
// command (no handshake, erase, write command or reset), and a board whose
// reset went out is not reported stopped.
TEST(LineStop, AStopWithAnAnswerHoldsForTheNextStep) {
  // How long the run takes unstopped, to sweep its end as well as its start.
  Micros whole = 0;
  {
    VirtualEventLoop loop;
    VirtualHidBackend backend{loop};
    VirtualSimBootloader board(backend, loop, *sim::Preset("pic18"));
    BoardRows rows(false);
    rows.sink = [](std::string_view) {};
    LineOptions o;
    o.file = kHex;
    o.yes = true;
    ProductionLine line(loop, backend, o, rows);
    ASSERT_EQ(line.Run(), ExitCode::Success);
    whole = static_cast<Micros>(line.results().front().seconds * 1e6);
  }
  std::vector<Micros> times;
  for (Micros t = from_ms(1); t < from_ms(40); t += 250) times.push_back(t);
  for (Micros t = whole - from_ms(40); t < whole; t += 250) times.push_back(t);
  int stopped = 0;
  for (const Micros t : times) {
    SCOPED_TRACE("stop at " + std::to_string(t) + " us");
    VirtualEventLoop loop;
    VirtualHidBackend backend{loop};
    VirtualSimBootloader board(backend, loop, *sim::Preset("pic18"));
    BoardRows rows(false);
    rows.sink = [](std::string_view) {};
    LineOptions o;
    o.file = kHex;
    o.yes = true;
    ProductionLine line(loop, backend, o, rows);
    std::size_t commands_at_stop = 0;
    loop.schedule_at(t - from_ms(1), [&] { loop.Hold(from_ms(10)); });
    loop.schedule_at(t, [&] {
      commands_at_stop = board.model().commands().size();
      line.Stop();
    });
    line.Run();
    ASSERT_EQ(line.results().size(), 1u);
    const BoardResult& r = line.results().front();
    EXPECT_EQ(board.model().commands().size(), commands_at_stop) << "a command after the stop: " << r.message;
    if (board.model().reset_seen()) {
      EXPECT_EQ(r.code, ExitCode::Success);
    } else {
      EXPECT_TRUE(r.stopped) << r.message;
      ++stopped;
    }
  }
  EXPECT_GT(stopped, 0);
}

}  // namespace
}  // namespace ql::cli

namespace ql::cli {
namespace {

// A board that stops taking reports just before its reset: the reset, which
// nothing answers, was never taken, so the board is still in its bootloader
// and is not reported as flashed; the board beside it is.
TEST(LineReset, ABoardThatDoesNotTakeItsResetFails) {
  VirtualEventLoop loop;
  VirtualHidBackend backend{loop};
  FlashImage image;
  ASSERT_TRUE(LoadHexFile(kHex, McuFamily::Pic18, image).ok());
  sim::Config deaf = *sim::Preset("pic18");
  // The last step is the reset.
  deaf.fault = {sim::FaultKind::Deaf, UploadSteps(deaf.info, image.ImageEnd(), false)};
  VirtualHidSpec a_spec, b_spec;
  a_spec.port = "1-1";
  b_spec.port = "1-2";
  VirtualSimBootloader a(backend, loop, deaf, a_spec);
  VirtualSimBootloader b(backend, loop, *sim::Preset("pic18"), b_spec);
  BoardRows rows(false);
  std::vector<std::string> lines;
  rows.sink = [&](std::string_view text) { lines.emplace_back(text); };
  LineOptions o;
  o.file = kHex;
  o.yes = true;
  o.all = true;
  o.several = true;
  ProductionLine line(loop, backend, o, rows);
  EXPECT_EQ(line.Run(), ExitCode::Failed);
  ASSERT_EQ(line.results().size(), 2u);
  for (const BoardResult& r : line.results()) {
    if (r.port == "1-1") {
      EXPECT_EQ(r.code, ExitCode::Failed);
      EXPECT_EQ(r.message, "the device did not take the reset: it is still in its bootloader");
    } else {
      EXPECT_EQ(r.code, ExitCode::Success) << r.message;
    }
  }
  EXPECT_FALSE(a.model().reset_seen());
  EXPECT_TRUE(b.model().reset_seen());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[1-1] Error: Device PIC18F4550 stopped taking reports."), lines.end());
}

}  // namespace
}  // namespace ql::cli
