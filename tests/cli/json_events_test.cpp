// The --json event writer, read back the way a script reads it: every line
// parsed as JSON on its own.

#include "cli/json_events.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/ioctl.h>
#endif
#include <unistd.h>

#include <algorithm>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/json_text.h"
#include "tests/support/test_pipe.h"

namespace {

using nlohmann::json;
using ql::cli::BoardName;
using ql::cli::BoardOutcome;
using ql::cli::ExitCode;
using ql::cli::JsonEventWriter;

// The writer on a pipe; Lines() parses what it wrote, failing the test on a
// line that is not one JSON object.
class Captured {
 public:
  Captured() {
    // Room for everything a test writes between two reads.
    EXPECT_TRUE(ql::test::MakePipe(fds_, 1 << 20));
    writer_ = std::make_unique<JsonEventWriter>(fds_[1]);
  }
  ~Captured() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  JsonEventWriter& writer() { return *writer_; }

  std::vector<json> Lines() {
    // What is there, without waiting for more.
    char buf[4096];
    for (std::size_t n; (n = Available()) > 0;) {
      const auto got = ::read(fds_[0], buf, static_cast<unsigned>(std::min(n, sizeof buf)));
      if (got <= 0) break;
      text_.append(buf, static_cast<std::size_t>(got));
    }
    std::vector<json> out;
    std::size_t start = 0;
    for (std::size_t end; (end = text_.find('\n', start)) != std::string::npos; start = end + 1) {
      const std::string line = text_.substr(start, end - start);
      json j = json::parse(line, nullptr, /*allow_exceptions=*/false);
      EXPECT_TRUE(j.is_object()) << "not a JSON object: " << line;
      out.push_back(std::move(j));
    }
    EXPECT_EQ(start, text_.size()) << "the output ends inside a line";
    text_.erase(0, start);
    return out;
  }

 private:
  std::size_t Available() const {
#ifdef _WIN32
    DWORD n = 0;
    ::PeekNamedPipe(reinterpret_cast<HANDLE>(::_get_osfhandle(fds_[0])), nullptr, 0, nullptr, &n, nullptr);
    return n;
#else
    int n = 0;
    return ::ioctl(fds_[0], FIONREAD, &n) == 0 ? static_cast<std::size_t>(n) : 0;
#endif
  }
  int fds_[2] = {-1, -1};
  std::unique_ptr<JsonEventWriter> writer_;
  std::string text_;
};

const BoardName kBoardA{"1-2.3", "A17", "/dev/hidraw4"};
const BoardName kBoardB{"1-2.4", "", ""};  // no serial, path not yet known

TEST(JsonEvents, OneBoardsStoryParsesWithSchemaEventAndBoard) {
  Captured c;
  JsonEventWriter& w = c.writer();
  w.BoardFound(kBoardA, "PIC18F4550 bootloader");
  w.Phase(kBoardA, "connecting");
  EXPECT_TRUE(w.Progress(kBoardA, 0, 32768, 1000));
  EXPECT_TRUE(w.Progress(kBoardA, 32768, 32768, 2000));
  w.Result(kBoardA, ExitCode::Success, "Upload completed");
  w.BoardLost(kBoardB);
  const BoardOutcome outcomes[] = {{kBoardA, "PIC18F4550 bootloader", ExitCode::Success, "Upload completed", 32768, 4.25},
                                   {kBoardB, "", ExitCode::Failed, "Device removed", 0, 0.5}};
  w.Summary(outcomes);
  EXPECT_TRUE(w.ok());

  const std::vector<json> lines = c.Lines();
  ASSERT_EQ(lines.size(), 7u);
  std::vector<std::string> names;
  for (const json& j : lines) {
    EXPECT_EQ(j.at("schema"), ql::cli::kJsonEventsSchema);
    names.push_back(j.at("event"));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"board-found", "phase", "progress", "progress", "result",
                                             "board-lost", "summary"}));
  EXPECT_EQ(lines[0]["board"], (json{{"port", "1-2.3"}, {"serial", "A17"}, {"path", "/dev/hidraw4"}}));
  EXPECT_EQ(lines[0]["device"], "PIC18F4550 bootloader");
  EXPECT_EQ(lines[1]["phase"], "connecting");
  EXPECT_EQ(lines[3]["done"], 32768);
  EXPECT_EQ(lines[3]["total"], 32768);
  EXPECT_EQ(lines[4]["exit_code"], 0);
  EXPECT_EQ(lines[4]["exit_class"], "success");
  EXPECT_EQ(lines[4]["message"], "Upload completed");
  // What is not known is null, not missing and not an empty string.
  EXPECT_EQ(lines[5]["board"], (json{{"port", "1-2.4"}, {"serial", nullptr}, {"path", nullptr}}));

  const json& s = lines[6];
  EXPECT_FALSE(s.contains("board"));
  EXPECT_EQ(s["boards"], 2);
  EXPECT_EQ(s["succeeded"], 1);
  EXPECT_EQ(s["failed"], 1);
  ASSERT_EQ(s["results"].size(), 2u);
  EXPECT_EQ(s["results"][0]["board"]["port"], "1-2.3");
  EXPECT_EQ(s["results"][0]["bytes"], 32768);
  EXPECT_DOUBLE_EQ(s["results"][0]["seconds"].get<double>(), 4.25);
  EXPECT_EQ(s["results"][1]["device"], nullptr);
  EXPECT_EQ(s["results"][1]["exit_code"], 1);
  EXPECT_EQ(s["results"][1]["exit_class"], "failed");
}

TEST(JsonEvents, EveryExitClassHasItsOwnName) {
  Captured c;
  const ExitCode codes[] = {ExitCode::Success, ExitCode::Failed, ExitCode::Usage, ExitCode::HexRejected,
                            ExitCode::NoDevice, ExitCode::PermissionDenied, ExitCode::Interrupted,
                            ExitCode::Hangup, ExitCode::Terminated};
  for (ExitCode code : codes) c.writer().Result(kBoardA, code, "");
  std::map<std::string, int> seen;
  for (const json& j : c.Lines()) seen[j.at("exit_class")] = j.at("exit_code");
  EXPECT_EQ(seen, (std::map<std::string, int>{{"success", 0},
                                              {"failed", 1},
                                              {"usage", 2},
                                              {"hex-rejected", 3},
                                              {"no-device", 4},
                                              {"permission-denied", 5},
                                              {"interrupted", 130},
                                              {"hangup", 129},
                                              {"terminated", 143}}));
}

// Device strings and file names are whatever bytes they are: the line must
// stay valid JSON (the parser rejects invalid UTF-8) and keep all it can.
TEST(JsonEvents, AnyBytesGiveValidJson) {
  struct Case {
    std::string in;
    std::string out;  // what the parsed string holds
  };
  const std::string fffd = "\xEF\xBF\xBD";
  std::string controls;
  for (char ch = 1; ch < 0x20; ++ch) controls += ch;
  const std::vector<Case> cases = {
      {"say \"hi\" C:\\dir\\", "say \"hi\" C:\\dir\\"},
      {controls + "\x7F", controls + "\x7F"},
      {std::string("nul\0in", 6), std::string("nul\0in", 6)},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},  // kept as is
      {"\xFF\xFE", fffd + fffd},                    // never UTF-8
      {"a\x80z", "a" + fffd + "z"},                 // stray continuation byte
      {"\xC0\xAF", fffd + fffd},                    // overlong '/'
      {"\xE0\x80\xAF", fffd + fffd + fffd},         // overlong, three bytes
      {"\xED\xA0\x80", fffd + fffd + fffd},         // a surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // past U+10FFFF
      {"end\xE2\x82", "end" + fffd + fffd},         // cut short at the end
      {"\xE2\x82z", fffd + fffd + "z"},             // cut short before ASCII
  };
  Captured c;
  for (const Case& k : cases) c.writer().Result(kBoardA, ExitCode::Failed, k.in);
  c.writer().BoardFound({cases[1].in, cases[4].in, cases[10].in}, cases[0].in);
  const std::vector<json> lines = c.Lines();
  ASSERT_EQ(lines.size(), cases.size() + 1);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(lines[i]["message"].get<std::string>(), cases[i].out) << "case " << i;
  }
  const json& found = lines.back();
  EXPECT_EQ(found["board"]["port"].get<std::string>(), cases[1].out);
  EXPECT_EQ(found["board"]["serial"].get<std::string>(), cases[4].out);
  EXPECT_EQ(found["board"]["path"].get<std::string>(), cases[10].out);
  EXPECT_EQ(found["device"].get<std::string>(), cases[0].out);
}

// Two boards report progress every millisecond for ten seconds, out of step
// with each other.
TEST(JsonEvents, ProgressAtMostTenPerSecondPerBoardAndTheEndAlwaysShown) {
  Captured c;
  JsonEventWriter& w = c.writer();
  constexpr std::int64_t kTotal = 10'000;
  std::int64_t done_a = 0, done_b = 0;
  for (std::int64_t t = 0; t <= 10'000'000; t += 1000) {
    if (done_a < kTotal) w.Progress(kBoardA, ++done_a, kTotal, t);
    // B reaches its end early, 30 us after an event it was allowed.
    if (done_b < kTotal / 2) w.Progress(kBoardB, done_b += 2, kTotal / 2, t + 30);
  }
  std::map<std::string, std::vector<std::pair<std::int64_t, std::int64_t>>> by_port;  // (done, total)
  for (const json& j : c.Lines()) {
    ASSERT_EQ(j["event"], "progress");
    by_port[j["board"]["port"]].emplace_back(j["done"], j["total"]);
  }
  ASSERT_EQ(by_port.size(), 2u);
  for (const auto& [port, events] : by_port) {
    SCOPED_TRACE(port);
    // Board A steps one byte a millisecond, B two: the done counts give the
    // times. Drop the final event, which may come early; then no second may
    // hold more than ten.
    const std::int64_t per_ms = port == kBoardA.port ? 1 : 2;
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.back().first, events.back().second) << "the 100 % event is missing";
    EXPECT_EQ(events.front().first, per_ms) << "the first event is missing";
    for (std::size_t i = 1; i + 1 < events.size(); ++i) {
      EXPECT_GE((events[i].first - events[i - 1].first) / per_ms, 100) << "event " << i << " is too soon";
    }
    // Not starved either: about ten a second for the board's run.
    const std::int64_t run_ms = events.back().second / per_ms;
    EXPECT_GE(static_cast<std::int64_t>(events.size()), run_ms / 100);
  }
}

TEST(JsonEvents, ProgressRepeatsAreDroppedAndAResultStartsTheBoardAnew) {
  Captured c;
  JsonEventWriter& w = c.writer();
  EXPECT_TRUE(w.Progress(kBoardA, 100, 100, 0));
  EXPECT_FALSE(w.Progress(kBoardA, 100, 100, 500'000)) << "the same 100 % twice";
  w.Result(kBoardA, ExitCode::Success, "");
  // Plugged in again at once: its first progress is not held back.
  EXPECT_TRUE(w.Progress(kBoardA, 1, 100, 500'010));
  EXPECT_FALSE(w.Progress(kBoardA, 2, 100, 500'020));
  // Another board at the same moment has its own rate.
  EXPECT_TRUE(w.Progress(kBoardB, 2, 100, 500'020));
  EXPECT_EQ(c.Lines().size(), 4u);
}

TEST(JsonEvents, AFailedWriteIsReported) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no full device (/dev/full)";
#endif
  const int fd = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0);
  JsonEventWriter w(fd);
  EXPECT_TRUE(w.ok());
  w.BoardLost(kBoardA);
  EXPECT_FALSE(w.ok());
  ::close(fd);
}

}  // namespace
