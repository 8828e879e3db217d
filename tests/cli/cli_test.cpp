// quelloader-cli run as a program: its image output, its exit codes, and a
// whole upload into the simulated bootloader checked against the layout the
// upload must leave.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/case_dir.h"
#include "tests/support/srec_oracle.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using ql::test::CaseDir;

const std::string kFixtures = QUELLOADER_FIXTURES;

struct Outcome {
  int code = -1;
  std::string err;
};

std::string ReadText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
using ql::test::ReadBytes;

// Runs the tool with `args` (shell words), stdin from /dev/null, stdout to `out`.
Outcome Cli(const std::string& args, const fs::path& out = "/dev/null") {
  const fs::path err = CaseDir() / "stderr.txt";
  const std::string cmd =
      std::string("'") + QUELLOADER_CLI + "' " + args + " </dev/null >'" + out.string() + "' 2>'" + err.string() + "'";
  const int status = std::system(cmd.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(err)};
}

using ql::test::HaveSrecCat;

// srec_cat's image of a fixture from address 0, gaps 0xFF, optionally cut
// at `below` (the fixtures used here have no record running past it).
Bytes SrecImage(const std::string& hex, const std::string& below = "") {
  const auto image = ql::test::SrecImage(hex, 0xFF, CaseDir() / "srec.bin", below);
  EXPECT_TRUE(image) << "srec_cat failed on " << hex;
  return image.value_or(Bytes{});
}

TEST(Cli, ImageWritesTheLoadedBytes) {
  if (!HaveSrecCat()) GTEST_SKIP() << "srec_cat is not installed";
  const std::string hex = kFixtures + "/pic18-app-6k.hex";
  const fs::path out = CaseDir() / "image.bin";
  fs::remove(out);
  Outcome r = Cli("image '" + hex + "' -o '" + out.string() + "'");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(ReadBytes(out) == SrecImage(hex));
  // The same bytes on stdout.
  const fs::path piped = CaseDir() / "image-stdout.bin";
  r = Cli("image '" + hex + "' --family none", piped);
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(ReadBytes(piped) == SrecImage(hex));
}

TEST(Cli, ExitCodes) {
  const fs::path bad = CaseDir() / "bad.hex";
  std::ofstream(bad) << ":020000040000FA\n:0100000000FE\n";
  Outcome r = Cli("image '" + bad.string() + "'");
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("CRC check failed. Invalid CRC at line 1 in file 'bad.hex'."), std::string::npos) << r.err;
  r = Cli("flash '" + bad.string() + "' --simulate pic18 --yes");
  EXPECT_EQ(r.code, 3);  // refused before the device hears anything
  EXPECT_EQ(r.err.find("Connected."), std::string::npos) << r.err;
  EXPECT_EQ(Cli("image /nonexistent/x.hex").code, 3);
  // A device has no end: refused at once, with the reason.
  r = Cli("image /dev/zero");
  EXPECT_EQ(r.code, 3);
  EXPECT_NE(r.err.find("\"/dev/zero\". It is a device, FIFO or socket, not a regular file."), std::string::npos) << r.err;

  const std::string hex = "'" + kFixtures + "/pic18-blink.hex'";
  for (const std::string& args : std::vector<std::string>{
           "", "image " + hex + " --family pic17", "flash " + hex + " --simulate pic18 --boot-start 0x7G00",
           "flash " + hex + " --simulate pic18 --erase-block 70000"}) {
    SCOPED_TRACE(args);
    EXPECT_EQ(Cli(args).code, 2);
  }
  r = Cli("flash " + hex);
  EXPECT_EQ(r.code, 4);
  EXPECT_EQ(Cli("--help").code, 0);
}

TEST(Cli, FlashIntoTheSimulatedBootloader) {
  if (!HaveSrecCat()) GTEST_SKIP() << "srec_cat is not installed";
  const std::string hex = kFixtures + "/pic18-blink.hex";
  const fs::path dump = CaseDir() / "flash.bin";
  fs::remove(dump);
  const Outcome r = Cli("flash '" + hex + "' --simulate pic18 --yes --dump-flash '" + dump.string() + "'");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("Completed successfully."), std::string::npos) << r.err;

  // PIC18F4550 preset: bootloader at 0x7C00, erase blocks of 64 bytes, write
  // blocks of 32. The file fills below 0x60, so the main write covers 0x60.
  const Bytes image = SrecImage(hex, "0x300000");
  ASSERT_LT(image.size(), 0x60u);
  const Bytes flash = ReadBytes(dump);
  ASSERT_GE(flash.size(), 0x7C00u);
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 4), (Bytes{0x00, 0xEF, 0x3E, 0xF0}));  // GOTO 0x7C00
  for (std::size_t a = 4; a < 0x60; ++a) EXPECT_EQ(flash[a], a < image.size() ? image[a] : 0xFF) << a;
  for (std::size_t a = 0x7BC0; a < 0x7BFC; ++a) EXPECT_EQ(flash[a], 0xFF) << a;
  EXPECT_EQ(Bytes(flash.begin() + 0x7BFC, flash.begin() + 0x7C00), Bytes(image.begin(), image.begin() + 4));

  // Without --yes and without a terminal, the question is answered No.
  const Outcome declined = Cli("flash '" + kFixtures + "/pic18-into-boot.hex' --simulate pic18");
  EXPECT_EQ(declined.code, 1);
  EXPECT_NE(declined.err.find("Continue?"), std::string::npos) << declined.err;
}

// A run whose stderr is read line by line while it runs, so that Ctrl+C can
// be sent at a chosen point of the upload.
class LiveCli {
 public:
  // `in`: the descriptor its stdin reads (a terminal, say); /dev/null without.
  explicit LiveCli(const std::vector<std::string>& args, int in = -1) {
    int err[2];
    if (::pipe(err) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(err[1], STDERR_FILENO);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(in >= 0 ? in : null, STDIN_FILENO);
      ::dup2(null, STDOUT_FILENO);
      std::vector<char*> argv{const_cast<char*>(QUELLOADER_CLI)};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(QUELLOADER_CLI, argv.data());
      ::_exit(127);
    }
    ::close(err[1]);
    fd_ = err[0];
  }
  ~LiveCli() {
    if (fd_ >= 0) ::close(fd_);
    if (pid_ > 0 && code_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // Reads until a line containing `text` has come (true) or the output ends.
  bool WaitFor(const std::string& text) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
      const std::size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        const std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        if (line.find(text) != std::string::npos) return true;
        continue;
      }
      if (!ReadMore(give_up)) return false;
    }
  }
  // Reads `n` more lines (false when the output ends first).
  bool SkipLines(int n) {
    for (int i = 0; i < n; ++i)
      if (!WaitFor("")) return false;
    return true;
  }
  void Interrupt() { ::kill(pid_, SIGINT); }
  // The rest of the output and the exit code.
  Outcome Finish() {
    while (ReadMore(std::chrono::steady_clock::now() + std::chrono::seconds(30))) {
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return {code_, all_};
  }

 private:
  bool ReadMore(std::chrono::steady_clock::time_point give_up) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) return false;
    pending_.append(buf, static_cast<std::size_t>(n));
    all_.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  pid_t pid_ = -1;
  int fd_ = -1;
  int code_ = -1;
  std::string pending_, all_;
};

// An Intel HEX file of `n` bytes from address 0 whose bytes follow a pattern.
fs::path PatternHex(std::size_t n) {
  const fs::path path = CaseDir() / "pattern.hex";
  std::ofstream out(path);
  for (std::size_t at = 0; at < n; at += 16) {
    const std::size_t len = std::min<std::size_t>(16, n - at);
    unsigned sum = static_cast<unsigned>(len + (at >> 8) + (at & 0xFF));
    char head[16];
    std::snprintf(head, sizeof head, ":%02X%04X00", static_cast<unsigned>(len), static_cast<unsigned>(at));
    out << head;
    for (std::size_t i = 0; i < len; ++i) {
      const unsigned b = static_cast<unsigned>((at + i) * 7 + 1) & 0xFF;
      sum += b;
      std::snprintf(head, sizeof head, "%02X", b);
      out << head;
    }
    std::snprintf(head, sizeof head, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out << head;
  }
  out << ":00000001FF\n";
  return path;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Ctrl+C in the middle of the write: the run finishes the write command the
// device is in (so it takes no later packet as data), says so, sends no
// reset, and leaves only the image's bytes or the erased value in flash.
TEST(CliInterrupt, FirstCtrlCClosesTheOpenWriteCommand) {
  const std::size_t n = 0x4000;
  const fs::path hex = PatternHex(n);
  const fs::path dump = CaseDir() / "flash.bin";
  fs::remove(dump);
  LiveCli run({"flash", hex.string(), "--simulate", "pic18", "--yes", "-v", "--dump-flash", dump.string()});
  ASSERT_TRUE(run.WaitFor("Write..."));
  ASSERT_TRUE(run.WaitFor("0F 0B 00 00 00 00"));
  ASSERT_TRUE(run.SkipLines(3)) << "three data blocks sent";
  run.Interrupt();
  const Outcome r = run.Finish();
  EXPECT_EQ(r.code, 130) << r.err;
  EXPECT_EQ(Count(r.err, "Stopping: finishing the write command the device is in ("), 1u) << r.err;
  EXPECT_NE(r.err.find("Interrupted."), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("reset the board"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("0F 04"), std::string::npos) << "no reset: " << r.err;

  const Bytes flash = ReadBytes(dump);
  ASSERT_GE(flash.size(), 0x7C00u);
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 4), (Bytes{0x00, 0xEF, 0x3E, 0xF0}));
  for (std::size_t a = 4; a < n; ++a)
    ASSERT_EQ(flash[a], static_cast<std::uint8_t>(a * 7 + 1)) << "the whole write command arrived; address " << a;
  for (std::size_t a = n; a < 0x7C00; ++a) ASSERT_EQ(flash[a], 0xFF) << a;
}

// A second Ctrl+C while the first one closes the command abandons at once,
// with one line saying to reset the board.
TEST(CliInterrupt, SecondCtrlCAbandonsAtOnce) {
  const fs::path hex = PatternHex(0x4000);
  LiveCli run({"flash", hex.string(), "--simulate", "pic18", "--yes", "-v"});
  ASSERT_TRUE(run.WaitFor("Write..."));
  ASSERT_TRUE(run.WaitFor("0F 0B 00 00 00 00"));
  ASSERT_TRUE(run.SkipLines(3));
  run.Interrupt();
  ASSERT_TRUE(run.WaitFor("Stopping: "));
  run.Interrupt();
  const Outcome r = run.Finish();
  EXPECT_EQ(r.code, 130) << r.err;
  EXPECT_EQ(Count(r.err, "reset the board"), 1u) << r.err;
  EXPECT_NE(r.err.find("Stop abandoned: "), std::string::npos) << r.err;
  const std::string after = r.err.substr(r.err.find("Stop abandoned: "));
  EXPECT_EQ(Count(after, "\n"), 2u) << "the abandon line and \"Interrupted.\" only: " << after;
}

// Boot info in which the program has no place is refused: exit 1, a clear
// line, nothing erased, no success.
TEST(Cli, RefusesLayoutsTheProgramCannotBePlacedIn) {
  const std::string hex = "'" + kFixtures + "/pic18-blink.hex'";
  const struct {
    std::string args, line;
  } cases[] = {
      {"--boot-start 0x40",
       "Error: Device reports a bootloader start address of 0x40, which leaves no room for the program below the "
       "bootloader; cannot upload."},
      {"--boot-start 0x400 --erase-block 1024",
       "Error: Device reports a bootloader start address of 0x400, which leaves no room for the program below the "
       "bootloader; cannot upload."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome r = Cli("flash " + hex + " --simulate pic18 --yes -v " + c.args);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Completed successfully."), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("0F 15"), std::string::npos) << "nothing erased:\n" << r.err;
  }
}

// -vv adds the debug channel: the session's steps, timestamped, on stderr;
// -v alone prints the packets but no debug lines.
TEST(Cli, DebugChannelWithTwoVerboseFlags) {
  const std::string hex = "'" + kFixtures + "/pic18-blink.hex'";
  const std::regex stamped(R"((^|\n)\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z quelloader: session [^\n]*: uploading\n)");
  Outcome r = Cli("flash " + hex + " --simulate pic18 --yes -vv");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(std::regex_search(r.err, stamped)) << r.err;
  EXPECT_NE(r.err.find("0F 01"), std::string::npos) << "the packets too: " << r.err;
  r = Cli("flash " + hex + " --simulate pic18 --yes -v");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.err.find(" quelloader: "), std::string::npos) << r.err;
}

// Several simulated boards with --json and --log: every stdout line is a JSON
// object of the schema, each board's events end with its result, the
// summary counts them, and the log holds one complete line per board.
TEST(Cli, ProductionLineJsonAndLog) {
  const std::string hex = "'" + kFixtures + "/pic18-app-6k.hex'";
  const fs::path out = CaseDir() / "events.jsonl";
  const fs::path log = CaseDir() / "boards.log";
  fs::remove(log);
  const Outcome r = Cli("flash " + hex + " --simulate pic18 --boards 3 --all --yes --json --log '" + log.string() +
                            "' --fault unplug@12:2",
                        out);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.err.find("1 of 3 boards failed."), std::string::npos) << r.err;
  std::map<std::string, std::vector<std::string>> events;  // port -> event names
  nlohmann::json summary;
  std::istringstream lines(ReadText(out));
  for (std::string line; std::getline(lines, line);) {
    const nlohmann::json e = nlohmann::json::parse(line);  // throws on anything but JSON
    ASSERT_EQ(e.at("schema"), 1) << line;
    const std::string name = e.at("event");
    if (name == "summary") {
      summary = e;
      continue;
    }
    events[e.at("board").at("port")].push_back(name);
    if (name == "result" && e["board"]["port"] == "sim-2") {
      EXPECT_EQ(e.at("exit_class"), "failed");
      EXPECT_EQ(e.at("message"), "removed during the upload");
    }
    if (name == "progress") {
      EXPECT_LE(e.at("done").get<int>(), e.at("total").get<int>());
    }
  }
  ASSERT_EQ(events.size(), 3u);
  for (const auto& [port, names] : events) {
    SCOPED_TRACE(port);
    EXPECT_EQ(names.front(), "board-found");
    EXPECT_EQ(std::count(names.begin(), names.end(), "result"), 1);
    EXPECT_NE(std::find(names.begin(), names.end(), "progress"), names.end());
  }
  ASSERT_FALSE(summary.is_null());
  EXPECT_EQ(summary.at("boards"), 3);
  EXPECT_EQ(summary.at("succeeded"), 2);
  EXPECT_EQ(summary.at("failed"), 1);

  std::istringstream logged(ReadText(log));
  int records = 0;
  for (std::string line; std::getline(logged, line); ++records) {
    const nlohmann::json rec = nlohmann::json::parse(line);
    // The log names the file itself, every link on its way resolved.
    EXPECT_EQ(rec.at("hex_file"), fs::canonical(kFixtures + "/pic18-app-6k.hex").string());
    if (rec.at("exit_code") == 0) {
      EXPECT_EQ(rec.at("image_sha256").get<std::string>().size(), 64u);
    }
  }
  EXPECT_EQ(records, 3);
}

// Overrides that contradict the simulated device's own flash are usage
// errors naming the conflict, in both programs, which read numbers alike.
TEST(Cli, InconsistentSimulatedDevicesAreUsageErrors) {
  const std::string hex = "'" + kFixtures + "/pic18-blink.hex'";
  Outcome r = Cli("flash " + hex + " --simulate pic18 --boot-start 0x10000 --yes");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("bootloader start 0x10000 is not inside the flash of the pic18 preset, which ends at 0x8000"),
            std::string::npos)
      << r.err;
  r = Cli("flash " + hex + " --simulate pic16 --erase-block 100 --yes");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("erase block size 100 does not divide"), std::string::npos) << r.err;

  // 0100000 is decimal 100000 (0x186A0) for both; read as octal it would be
  // 0x8000. The simulator stops at the conflict, before it opens /dev/uhid.
  r = Cli("flash " + hex + " --simulate pic18 --boot-start 0100000 --yes");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("bootloader start 0x186A0 "), std::string::npos) << r.err;
  const fs::path err = CaseDir() / "sim-stderr.txt";
  const std::string cmd = std::string("timeout 20 '") + QUELLOADER_SIM + "' pic18 --boot-start 0100000 -q </dev/null >/dev/null 2>'" +
                          err.string() + "'";
  const int status = std::system(cmd.c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 2);
  EXPECT_NE(ReadText(err).find("bootloader start 0x186A0 is not inside the flash of the pic18 preset"),
            std::string::npos)
      << ReadText(err);
}

// --devices reads its number as every other option does: a sign or a blank
// is a usage error, found before /dev/uhid is opened.
TEST(Cli, SimulatorDeviceCountIsAPlainNumber) {
  for (const std::string word : {"+2", "' 2'", "2.0"}) {
    const std::string cmd = std::string("timeout 20 '") + QUELLOADER_SIM + "' pic18 --devices " + word +
                            " -q </dev/null >/dev/null 2>/dev/null";
    const int status = std::system(cmd.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 2) << word;
  }
}

// The program with its stdout and stderr each on a pipe of the test's,
// which the test reads when it chooses: a reader that stops, comes back or
// goes away, and signals sent at chosen points.
class Child {
 public:
  // `pipe_size`: the pipes' capacity (the kernel's smallest is a page), so
  // that a reader that stays away is felt at once.
  explicit Child(const std::vector<std::string>& args, int pipe_size = 4096) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    ::fcntl(out[1], F_SETPIPE_SZ, pipe_size);
    ::fcntl(err[1], F_SETPIPE_SZ, pipe_size);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      const int null = ::open("/dev/null", O_RDONLY);
      ::dup2(null, STDIN_FILENO);
      std::vector<char*> argv{const_cast<char*>(QUELLOADER_CLI)};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(QUELLOADER_CLI, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    fd_[0] = out[0];
    fd_[1] = err[0];
  }
  ~Child() {
    CloseStdout();
    if (fd_[1] >= 0) ::close(fd_[1]);
    if (pid_ > 0 && status_ < 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  void Signal(int signal) { ::kill(pid_, signal); }
  // Reads stderr only (stdout is left unread) until it holds `count`
  // occurrences of `text`, or 30 s have passed, or it ends.
  bool WaitForErr(const std::string& text, std::size_t count = 1) {
    return ReadUntil({1}, [&] { return Count(err, text) >= count; });
  }
  // Reads stdout only (stderr is left unread) until it holds `text`.
  bool WaitForOut(const std::string& text) {
    return ReadUntil({0}, [&] { return out.find(text) != std::string::npos; });
  }
  // The reader of stdout goes away, as `head -1` does.
  void CloseStdout() {
    if (fd_[0] >= 0) ::close(fd_[0]);
    fd_[0] = -1;
  }
  // Reads what is left of both and reaps the process: its wait status.
  int Finish() {
    ReadUntil({0, 1}, [] { return false; });
    // The outputs have ended; the process ends with them, or is killed after 30 s.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > give_up) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      ::poll(nullptr, 0, 10);
    }
    status_ = status;
    return status;
  }
  std::string out, err;

 private:
  static std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  // Reads the open ones of `which` (0 stdout, 1 stderr) until `done()` holds
  // (true), they have all ended or 30 s have passed (false).
  bool ReadUntil(std::vector<int> which, const std::function<bool()>& done) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done()) {
      std::vector<pollfd> fds;
      for (const int w : which)
        if (fd_[w] >= 0) fds.push_back({fd_[w], POLLIN, 0});
      if (fds.empty()) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now());
      if (left.count() <= 0 || ::poll(fds.data(), fds.size(), static_cast<int>(left.count())) <= 0) return false;
      for (const pollfd& p : fds) {
        if (p.revents == 0) continue;
        const int w = p.fd == fd_[0] ? 0 : 1;
        char buf[8192];
        const ssize_t n = ::read(p.fd, buf, sizeof buf);
        if (n <= 0) {
          ::close(fd_[w]);
          fd_[w] = -1;
          continue;
        }
        (w == 0 ? out : err).append(buf, static_cast<std::size_t>(n));
      }
    }
    return true;
  }
  pid_t pid_ = -1;
  int fd_[2] = {-1, -1};
  int status_ = -1;
};

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

std::string Describe(int status) {
  return WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                             : "exit code " + std::to_string(ExitCodeOf(status));
}

// The table's rows at the end of a production line: port -> result.
std::map<std::string, std::string> TableResults(const std::string& err) {
  std::map<std::string, std::string> results;
  const std::size_t head = err.find("port   serial");
  if (head == std::string::npos) return results;
  std::istringstream rows(err.substr(head));
  std::string line;
  std::getline(rows, line);
  while (std::getline(rows, line)) {
    std::istringstream words(line);
    std::string port, serial, device, result;
    if (!(words >> port >> serial >> device >> result) || !port.starts_with("sim-")) break;
    results[port] = result;
  }
  return results;
}

// A reader of stdout, or of stderr, that does not read at all until the run
// is over: no board waits for it, and it gets every line when it comes.
TEST(CliStalledOutput, AReaderThatStopsFailsNoBoard) {
  const std::string hex = kFixtures + "/pic18-app-6k.hex";
  const std::vector<std::string> args = {"flash", hex, "--simulate", "pic18", "--boards", "8", "--all", "--yes",
                                         "--json"};
  {
    SCOPED_TRACE("stdout stalled");
    Child run(args);
    // The table on stderr while stdout has not been read at all.
    EXPECT_TRUE(run.WaitForErr("port   serial")) << "the boards waited for stdout:\n" << run.err;
    const int status = run.Finish();
    EXPECT_EQ(ExitCodeOf(status), 0) << Describe(status) << "\n" << run.err;
    std::map<std::string, std::string> results;
    nlohmann::json summary;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
      const nlohmann::json e = nlohmann::json::parse(line);
      if (e.at("event") == "result") results[e["board"]["port"]] = e["exit_class"];
      if (e.at("event") == "summary") summary = e;
    }
    EXPECT_EQ(results.size(), 8u);
    for (const auto& [port, result] : results) EXPECT_EQ(result, "success") << port;
    ASSERT_FALSE(summary.is_null()) << "the summary reaches a reader that comes back";
    EXPECT_EQ(summary.at("failed"), 0);
  }
  {
    SCOPED_TRACE("stderr stalled");
    Child run(args);
    EXPECT_TRUE(run.WaitForOut("\"event\":\"summary\"")) << "the boards waited for stderr";
    const int status = run.Finish();
    EXPECT_EQ(ExitCodeOf(status), 0) << Describe(status) << "\n" << run.err;
    const auto table = TableResults(run.err);
    EXPECT_EQ(table.size(), 8u) << run.err;
    for (const auto& [port, result] : table) EXPECT_EQ(result, "ok") << port;
  }
}

// `--json | head -1`: stdout closed after its first line. The JSON events end
// with one line on stderr, the boards carry on, and SIGPIPE ends nothing.
TEST(CliStalledOutput, AClosedStdoutEndsTheEventsNotTheBoards) {
  const std::string hex = kFixtures + "/pic18-app-6k.hex";
  Child run({"flash", hex, "--simulate", "pic18", "--boards", "4", "--all", "--yes", "--json"});
  ASSERT_TRUE(run.WaitForOut("\n"));
  run.CloseStdout();
  const int status = run.Finish();
  ASSERT_TRUE(WIFEXITED(status)) << Describe(status) << "\n" << run.err;
  EXPECT_NE(ExitCodeOf(status), 141);
  EXPECT_EQ(Count(run.err, "cannot write to standard output: Broken pipe"), 1u) << run.err;
  const auto table = TableResults(run.err);
  EXPECT_EQ(table.size(), 4u) << run.err;
  for (const auto& [port, result] : table) EXPECT_EQ(result, "ok") << port;
}

// SIGTERM and SIGHUP stop as Ctrl+C does: each board finishes the write
// command it is in (so it stays in step), the table is written, and the exit
// code names the signal. A second stop signal abandons, one line a board.
TEST(CliSignals, TermAndHangupStopTheLineSoundly) {
  const fs::path hex = PatternHex(0x2000);
  const std::vector<std::string> args = {"flash", hex.string(), "--simulate", "pic18", "--boards", "3", "--all",
                                         "--yes", "-v"};
  for (const auto& [signal, code] : {std::pair{SIGTERM, 143}, std::pair{SIGHUP, 129}}) {
    SCOPED_TRACE(signal);
    Child run(args, 1 << 16);
    ASSERT_TRUE(run.WaitForErr("0F 0B 00 00 00 00", 3)) << run.err;  // each board's write command
    run.Signal(signal);
    const int status = run.Finish();
    EXPECT_EQ(ExitCodeOf(status), code) << Describe(status) << "\n" << run.err;
    EXPECT_EQ(Count(run.err, "Stopping every board..."), 1u) << run.err;
    EXPECT_EQ(Count(run.err, "Stopping: finishing the write command the device is in ("), 3u) << run.err;
    EXPECT_EQ(Count(run.err, "reset the board"), 0u) << run.err;
    EXPECT_EQ(Count(run.err, "0F 04"), 0u) << "no reset";
    const auto table = TableResults(run.err);
    EXPECT_EQ(table.size(), 3u) << run.err;
    for (const auto& [port, result] : table) EXPECT_EQ(result, "stopped") << port;
  }
  {
    SCOPED_TRACE("a second signal");
    Child run(args, 1 << 16);
    ASSERT_TRUE(run.WaitForErr("0F 0B 00 00 00 00", 3)) << run.err;
    run.Signal(SIGTERM);
    ASSERT_TRUE(run.WaitForErr("Stopping: finishing the write command", 3)) << run.err;
    run.Signal(SIGHUP);
    const int status = run.Finish();
    EXPECT_EQ(ExitCodeOf(status), 143) << "the first signal names the stop: " << Describe(status);
    EXPECT_EQ(Count(run.err, "Stop abandoned: "), 3u) << run.err;
    EXPECT_EQ(Count(run.err, "reset the board"), 3u) << "one line a board: " << run.err;
    EXPECT_EQ(TableResults(run.err).size(), 3u) << run.err;
  }
}

// One board, without the production line: the same rules.
TEST(CliSignals, HangupStopsASingleUploadSoundly) {
  const fs::path hex = PatternHex(0x2000);
  Child run({"flash", hex.string(), "--simulate", "pic18", "--yes", "-v"}, 1 << 16);
  ASSERT_TRUE(run.WaitForErr("0F 0B 00 00 00 00")) << run.err;
  run.Signal(SIGHUP);
  const int status = run.Finish();
  EXPECT_EQ(ExitCodeOf(status), 129) << Describe(status) << "\n" << run.err;
  EXPECT_EQ(Count(run.err, "Stopping: finishing the write command the device is in ("), 1u) << run.err;
  EXPECT_NE(run.err.find("Interrupted."), std::string::npos) << run.err;
  EXPECT_EQ(Count(run.err, "reset the board"), 0u) << run.err;
}

// A --log at the file-size limit (ulimit -f): SIGXFSZ ends nothing; each
// record the file cannot take is an error of its board, with the cause, and
// the run fails.
TEST(CliLogLimit, ALogAtItsSizeLimitFailsTheRunNotTheProcess) {
  const fs::path log = CaseDir() / "limited.log";
  fs::remove(log);
  const fs::path err = CaseDir() / "stderr.txt";
  const fs::path code = CaseDir() / "code.txt";
  // The limit holds for the program alone: its stderr goes through cat,
  // outside the subshell, and the exit code is written by that subshell
  // after the program has ended.
  const std::string cmd = "( ulimit -f 1; '" + std::string(QUELLOADER_CLI) + "' flash '" + kFixtures +
                          "/pic18-blink.hex' --simulate pic18 --boards 8 --all --yes --log '" + log.string() +
                          "' </dev/null 2>&1 >/dev/null; echo $? >'" + code.string() + "' ) | cat >'" +
                          err.string() + "'";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const std::string text = ReadText(err);
  EXPECT_EQ(std::stoi(ReadText(code)), 1) << "153 is death by SIGXFSZ\n" << text;
  // The cause is said once; every board without its record fails, the
  // table saying so, and every other board is in the log.
  EXPECT_EQ(Count(text, "\": the line would take the file past the size limit"), 1u) << text;
  const auto table = TableResults(text);
  EXPECT_EQ(table.size(), 8u) << text;
  std::size_t not_logged = 0;
  for (const auto& [port, result] : table) not_logged += result == "failed" ? 1 : 0;
  EXPECT_GE(not_logged, 1u) << text;
  EXPECT_EQ(not_logged + Count(ReadText(log), "\n"), 8u) << "every board logged or failed for it\n" << text;
  EXPECT_EQ(Count(text, "flashed, but its --log record could not be written"), not_logged) << text;
}

// ---- One flow for one board and many -----------------------------------------------

std::vector<nlohmann::json> JsonLines(const fs::path& file) {
  std::vector<nlohmann::json> out;
  std::istringstream lines(ReadText(file));
  for (std::string line; std::getline(lines, line);) out.push_back(nlohmann::json::parse(line));
  return out;
}

// The lines for people without the seconds an upload took.
std::string WithoutTimes(const std::string& text) {
  return std::regex_replace(text, std::regex(R"( in [0-9.]+ s\.)"), " in T s.");
}

// With a terminal on stdin the bootloader-area question is asked there, and
// the answer read from it, whatever else the command line asks for (--json
// here, which once switched to a flow that answered No by itself).
TEST(CliFlow, TheQuestionIsAskedOnTheTerminal) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  LiveCli run({"flash", kFixtures + "/pic18-into-boot.hex", "--simulate", "pic18", "--json"}, terminal);
  ::close(terminal);
  ASSERT_TRUE(run.WaitFor("Continue? [y/N]"));
  ASSERT_EQ(::write(master, "y\n", 2), 2);
  const Outcome r = run.Finish();
  ::close(master);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("Answered Yes."), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Completed successfully."), std::string::npos) << r.err;
}

// --json and --log add their records: the lines and the exit code stay
// those of the same run without them.
TEST(CliFlow, JsonAndLogChangeNeitherTheLinesNorTheCode) {
  const std::string hex = "'" + kFixtures + "/pic18-app-6k.hex'";
  const fs::path log = CaseDir() / "boards.log";
  for (const std::string& extra :
       {std::string(), std::string(" --fault unplug@40"), std::string(" --boot-start 0x40")}) {
    SCOPED_TRACE(extra);
    fs::remove(log);
    const Outcome plain = Cli("flash " + hex + " --simulate pic18 --yes" + extra);
    const Outcome recorded = Cli("flash " + hex + " --simulate pic18 --yes --json --log '" + log.string() + "'" + extra,
                                 CaseDir() / "events");
    EXPECT_EQ(recorded.code, plain.code);
    EXPECT_EQ(WithoutTimes(recorded.err), WithoutTimes(plain.err));
    EXPECT_EQ(plain.err.find('['), std::string::npos) << "one board: plain lines\n" << plain.err;
  }
}

// A file that holds no data (empty, a binary file of zeros, an end record
// alone) is refused before any USB traffic, as a rejected HEX file: exit 3.
TEST(Cli, AFileWithNoDataIsRefusedBeforeAnyTraffic) {
  const fs::path empty = CaseDir() / "empty.hex", zeros = CaseDir() / "zeros.hex", eof = CaseDir() / "eof.hex";
  std::ofstream{empty};
  std::ofstream(zeros, std::ios::binary) << std::string(100, '\0');
  std::ofstream(eof) << ":00000001FF\n";
  for (const fs::path& f : {empty, zeros, eof}) {
    SCOPED_TRACE(f.filename().string());
    const Outcome r = Cli("flash '" + f.string() + "' --simulate pic18 --yes -v");
    EXPECT_EQ(r.code, 3) << r.err;
    EXPECT_NE(r.err.find("holds no data"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("0F "), std::string::npos) << "no packet: " << r.err;
  }
}

// A refusal carries its real cause into the result, the JSON and the log.
TEST(Cli, RefusalsCarryTheirCause) {
  const std::string hex = "'" + kFixtures + "/pic18-blink.hex'";
  const fs::path out = CaseDir() / "events.jsonl", log = CaseDir() / "boards.log";
  const struct {
    std::string args, cause;
  } cases[] = {
      {"--boot-start 0x40",
       "Device reports a bootloader start address of 0x40, which leaves no room for the program below the "
       "bootloader; cannot upload."},
      {"--erase-block 0", "Device reports an erase block size of 0; cannot upload."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    fs::remove(log);
    const Outcome r =
        Cli("flash " + hex + " --simulate pic18 --yes --json --log '" + log.string() + "' " + c.args, out);
    EXPECT_EQ(r.code, 1) << r.err;
    bool told = false;
    for (const nlohmann::json& e : JsonLines(out)) {
      if (e["event"] != "result") continue;
      told = true;
      EXPECT_EQ(e["message"], c.cause);
    }
    EXPECT_TRUE(told);
    const std::vector<nlohmann::json> records = JsonLines(log);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["message"], c.cause);
  }
}

// Options that would do nothing are usage errors naming the option.
TEST(Cli, OptionsThatDoNothingAreUsageErrors) {
  const std::string hex = "'" + kFixtures + "/pic18-blink.hex'";
  const struct {
    std::string args, named;
  } cases[] = {
      {"--simulate pic18 --boards 3 --all --fault unplug@5:4", "--fault unplug@5:4"},
      {"--simulate pic18 --fault unplug@12", "--fault unplug@12"},  // the flash of this file takes 11 steps
      {"--simulate pic18 --fault garbage-boot-info@3", "--fault garbage-boot-info@3"},
      {"--simulate pic18 --fault unplug@x", "--fault unplug@x"},
      {"--simulate pic18 --fault bogus", "--fault bogus"},
      {"--simulate pic18 --count 3", "--count"},
      {"--boot-start 0x7C00", "--boot-start"},
      {"--erase-block 64", "--erase-block"},
      {"--write-block 32", "--write-block"},
      {"--simulate pic18 --expect 2 --wait=1", "--expect"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome r = Cli("flash " + hex + " --yes " + c.args);
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Connected."), std::string::npos) << r.err;
  }
  // The last step a fault can strike is accepted: the reset.
  EXPECT_NE(Cli("flash " + hex + " --yes --simulate pic18 --fault unplug@11").code, 2);
}

// --loop ended by Ctrl+C tells a clean shift from one with failures: exit 1
// when a board failed, the stop's own code when none did.
TEST(CliInterrupt, AStoppedLoopTellsACleanShiftFromOneWithFailures) {
  for (const bool failure : {true, false}) {
    SCOPED_TRACE(failure ? "a board failed" : "clean");
    std::vector<std::string> args = {
        "flash", kFixtures + "/pic18-blink.hex", "--simulate", "pic18", "--boards", "2", "--loop", "--yes"};
    if (failure) args.insert(args.end(), {"--fault", "silent:2"});
    LiveCli run(args);
    ASSERT_TRUE(run.WaitFor(failure ? "[sim-2 SIM0002] Failed: " : "[sim-2 SIM0002] Done"));
    run.Interrupt();
    const Outcome r = run.Finish();
    EXPECT_EQ(r.code, failure ? 1 : 130) << r.err;
  }
}

// Every --port named is a board expected: waited for, and at the end a row
// "missing", an event and a log record; the run fails. A port that matches
// nothing while bootloaders are attached lists them.
TEST(Cli, APortNamedThatNeverShowsFailsTheRun) {
  const std::string hex = "'" + kFixtures + "/pic18-blink.hex'";
  const fs::path out = CaseDir() / "events.jsonl", log = CaseDir() / "boards.log";
  fs::remove(log);
  Outcome r = Cli("flash " + hex +
                      " --simulate pic18 --boards 3 --port sim-1 --port sim-2 --port sim-3 --port sim-4 "
                      "--wait=1 --yes --json --log '" +
                      log.string() + "'",
                  out);
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_TRUE(std::regex_search(r.err, std::regex(R"((^|\n)sim-4 +- +- +missing )"))) << r.err;
  EXPECT_NE(r.err.find("1 of 4 boards failed."), std::string::npos) << r.err;
  int results = 0;
  for (const nlohmann::json& e : JsonLines(out)) {
    if (e["event"] == "result" && e["board"]["port"] == "sim-4") {
      ++results;
      EXPECT_EQ(e["exit_class"], "no-device");
    }
    if (e["event"] == "summary") {
      EXPECT_EQ(e["boards"], 4);
      EXPECT_EQ(e["failed"], 1);
    }
  }
  EXPECT_EQ(results, 1);
  const std::vector<nlohmann::json> records = JsonLines(log);
  EXPECT_EQ(records.size(), 4u);
  EXPECT_EQ(std::count_if(records.begin(), records.end(), [](const nlohmann::json& x) { return x["port"] == "sim-4"; }),
            1);

  r = Cli("flash " + hex + " --simulate pic18 --boards 2 --port sim-9 --yes");
  EXPECT_EQ(r.code, 4) << r.err;
  EXPECT_EQ(r.err.find("no HID device named"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("  port sim-1  "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("  port sim-2  "), std::string::npos) << r.err;
}

// What docs/json-events.md and docs/production-log.md promise, read back by
// parsing: a success's message, the first phase, the three byte counts, the
// file's resolved path; and every board reset at the end seen leaving.
TEST(CliJson, TheDocumentedFieldsHoldTheirMeaning) {
  const fs::path out = CaseDir() / "events.jsonl", log = CaseDir() / "boards.log";
  fs::remove(log);
  const std::string hex = kFixtures + "/pic18-blink.hex";
  Outcome r = Cli("flash '" + hex + "' --simulate pic18 --yes --json --log '" + log.string() + "'", out);
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<std::string> phases;
  std::int64_t total = -1;
  for (const nlohmann::json& e : JsonLines(out)) {
    if (e["event"] == "phase") phases.push_back(e["phase"]);
    if (e["event"] == "progress") total = e["total"];
    if (e["event"] == "result") {
      EXPECT_EQ(e["message"], "Upload completed");
    }
    if (e["event"] == "summary") {
      // 82 bytes of image, the main write rounded up to write blocks of 32
      // (96), then the erase block below the bootloader (64).
      EXPECT_EQ(e["results"][0]["bytes"], 96 + 64);
      EXPECT_EQ(e["results"][0]["message"], "Upload completed");
    }
  }
  ASSERT_FALSE(phases.empty());
  EXPECT_EQ(phases.front(), "attached");
  EXPECT_EQ(total, 96);
  const std::vector<nlohmann::json> records = JsonLines(log);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["image_bytes"], 82);
  EXPECT_EQ(records[0]["message"], "Upload completed");
  EXPECT_EQ(records[0]["hex_file"], fs::canonical(hex).string());

  // Sixteen boards, each reset at the end: sixteen departures.
  r = Cli("flash '" + hex + "' --simulate pic18 --boards 16 --all --yes --json", out);
  ASSERT_EQ(r.code, 0) << r.err;
  int lost = 0;
  for (const nlohmann::json& e : JsonLines(out)) lost += e["event"] == "board-lost" ? 1 : 0;
  EXPECT_EQ(lost, 16);
}

// A --json stream or a --log that cannot be written fails the run, with one
// line; the table and the exit code agree on what failed.
TEST(Cli, AnOutputThatCannotBeWrittenFailsTheRun) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  const std::string hex = "'" + kFixtures + "/pic18-blink.hex'";
  Outcome r = Cli("flash " + hex + " --simulate pic18 --yes --json", "/dev/full");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(Count(r.err, "--json events could not be written"), 1u) << r.err;
  r = Cli("flash " + hex + " --simulate pic18 --boards 2 --all --yes --log /dev/full");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(Count(r.err, "Cannot write to the log file"), 1u) << r.err;
  EXPECT_TRUE(std::regex_search(r.err, std::regex(R"((^|\n)sim-1 +SIM0001 +PIC18F4550 +failed )"))) << r.err;
  EXPECT_NE(r.err.find("2 of 2 boards failed."), std::string::npos) << r.err;
}

// One unplug is told once: one removal line and one "Disconnected.".
TEST(Cli, AnUnplugIsToldOnce) {
  const Outcome r = Cli("flash '" + kFixtures + "/pic18-app-6k.hex' --simulate pic18 --yes --fault unplug@40");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_EQ(Count(r.err, "removed"), 2u) << "the error line and the result's: " << r.err;
  EXPECT_EQ(Count(r.err, "Error: Device PIC18F4550 removed."), 1u) << r.err;
  EXPECT_EQ(Count(r.err, "Disconnected."), 1u) << r.err;
}

// --wait takes its number attached: "--wait 5" is a usage error that says so.
TEST(Cli, WaitWithASpaceSuggestsTheEqualsSign) {
  const Outcome r = Cli("flash '" + kFixtures + "/pic18-blink.hex' --simulate pic18 --wait 5");
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_NE(r.err.find("--wait=5"), std::string::npos) << r.err;
}

}  // namespace
