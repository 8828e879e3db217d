// The output channel on real pipes: a reader that has not started yet (the
// pipe filled before the channel writes), one that has gone, a full disk.
// Nothing sleeps: a test blocks on the pipe or on the event loop.

#include "cli/output_channel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cli/json_events.h"
#include "cli/output_writer.h"
#include "core/blocking_event_loop.h"
#include "tests/support/test_pipe.h"

namespace ql::cli {
namespace {

// A pipe of the smallest size, which the test fills before the channel
// writes, so every write of the channel waits until Resume().
class StalledPipe {
 public:
  StalledPipe() {
    EXPECT_TRUE(test::MakePipe(fds_));
    filler_ = test::FillPipe(fds_[1]);
  }
  ~StalledPipe() {
    CloseWriter();
    if (reader_.joinable()) reader_.join();
    ::close(fds_[0]);
  }
  int fd() const { return fds_[1]; }

  // The reader starts: everything written is read until the write end closes.
  void Resume() {
    reader_ = std::thread([this] {
      char buf[8192];
      for (ssize_t n; (n = ::read(fds_[0], buf, sizeof buf)) != 0;) {
        if (n > 0) text_.append(buf, static_cast<std::size_t>(n));
      }
    });
  }
  // What the channel wrote (the filler left out), once the channel is gone.
  std::string Text() {
    CloseWriter();
    if (reader_.joinable()) reader_.join();
    EXPECT_GE(text_.size(), filler_);
    return text_.substr(std::min(filler_, text_.size()));
  }

 private:
  void CloseWriter() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }
  int fds_[2] = {-1, -1};
  std::size_t filler_ = 0;
  std::thread reader_;
  std::string text_;
};

// The lines of `text`, each with its line feed.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t nl = text.find('\n', at);
    const std::size_t end = nl == std::string::npos ? text.size() : nl + 1;
    out.push_back(text.substr(at, end - at));
    at = end;
  }
  return out;
}

std::size_t IndexOf(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

OutputChannel::Options Bounded(std::size_t bound) {
  OutputChannel::Options o;
  o.ordinary_bound = bound;
  o.drop_notice = [](std::uint64_t n) { return "[" + std::to_string(n) + " dropped]\n"; };
  return o;
}

// The first write is a whole chunk by itself, so it is the one the writer
// holds while the reader is away, and all that follows waits in the queue.
const std::string kHead = std::string(OutputWriter::kChunk - 1, 'h') + "\n";

TEST(CliOutputChannel, AStalledReaderGetsEverythingKeptInOrderOnceItResumes) {
  StalledPipe pipe;
  BlockingEventLoop loop;
  {
    OutputChannel channel(pipe.fd(), loop, Bounded(50));
    // The reader is away: each call returns at once (a blocking write would
    // hang the test here).
    ASSERT_TRUE(channel.Write(OutputKind::Keep, kHead));
    std::vector<bool> accepted;
    for (int i = 0; i < 30; ++i) {
      char ordinary[8];
      std::snprintf(ordinary, sizeof ordinary, "o %02d\n", i);  // five bytes: ten fit the bound
      accepted.push_back(channel.Write(OutputKind::Ordinary, ordinary));
      ASSERT_TRUE(channel.Write(OutputKind::Keep, "k " + std::to_string(i) + "\n"));
      ASSERT_TRUE(channel.WriteLatest("A", "A " + std::to_string(i) + "\n"));
      if (i == 5) {
        ASSERT_TRUE(channel.WriteLatest("B", "B 5\n"));
      }
    }
    EXPECT_EQ(std::count(accepted.begin(), accepted.end(), true), 10);
    EXPECT_TRUE(std::all_of(accepted.begin(), accepted.begin() + 10, [](bool b) { return b; }));
    EXPECT_EQ(channel.dropped(), 20u);
    EXPECT_GT(channel.backlog(), kHead.size());
    EXPECT_FALSE(channel.failed());

    pipe.Resume();
    EXPECT_TRUE(channel.Finish(nullptr));
    EXPECT_EQ(channel.backlog(), 0u);
    // Drained: the bound is free again.
    EXPECT_TRUE(channel.Write(OutputKind::Ordinary, "o after\n"));
    EXPECT_TRUE(channel.Finish(nullptr));
  }
  const std::vector<std::string> lines = Lines(pipe.Text());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), kHead);
  std::vector<std::string> keep, ordinary, latest, notices;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string& l = lines[i];
    (l[0] == 'k' ? keep : l[0] == 'o' ? ordinary : l[0] == '[' ? notices : latest).push_back(l);
  }
  ASSERT_EQ(keep.size(), 30u) << "every Keep line, whatever the bound";
  for (int i = 0; i < 30; ++i) EXPECT_EQ(keep[i], "k " + std::to_string(i) + "\n");
  ASSERT_EQ(ordinary.size(), 11u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(ordinary[i], "o 0" + std::to_string(i) + "\n");
  EXPECT_EQ(ordinary.back(), "o after\n");
  // One notice with the count, where the first line went missing.
  ASSERT_EQ(notices, std::vector<std::string>{"[20 dropped]\n"});
  EXPECT_EQ(IndexOf(lines, "[20 dropped]\n"), IndexOf(lines, "k 9\n") + 1);
  // One of each key: its latest.
  EXPECT_EQ(latest, (std::vector<std::string>{"B 5\n", "A 29\n"}));
  EXPECT_GT(IndexOf(lines, "A 29\n"), IndexOf(lines, "k 29\n")) << "a later entry goes where it was written";
}

// A piece larger than the whole bound, handed to an idle writer: the notice
// alone is its work, and it goes out (it once waited for a wake-up that never
// came, and the end of the run waited for it).
TEST(CliOutputChannel, ANoticeAloneWakesAnIdleWriter) {
  int fds[2];
  ASSERT_TRUE(test::MakePipe(fds));
  BlockingEventLoop loop;
  {
    OutputChannel channel(fds[1], loop, Bounded(10));
    EXPECT_FALSE(channel.Write(OutputKind::Ordinary, std::string(20, 'x') + "\n"));
    int waited = 0;
    EXPECT_TRUE(channel.Finish([&] { return ++waited > 1000000; }));
    EXPECT_EQ(channel.backlog(), 0u);
  }
  ::close(fds[1]);
  char buf[64] = {};
  const ssize_t n = ::read(fds[0], buf, sizeof buf - 1);
  ::close(fds[0]);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0), "[1 dropped]\n");
}

// A reader that has gone and a disk that is full: the channel ends, says so
// once through the loop, and takes nothing more.
TEST(CliOutputChannel, AFailedWriteEndsTheChannelAndIsReportedOnce) {
#ifndef _WIN32
  ::signal(SIGPIPE, SIG_IGN);
#endif
  int closed[2];
  ASSERT_TRUE(test::MakePipe(closed));
  ::close(closed[0]);
  std::vector<std::pair<int, int>> cases = {{closed[1], EPIPE}};
#ifdef _WIN32
  std::cout << "Windows has no full device (/dev/full): a gone reader only\n";
#else
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  cases.emplace_back(full, ENOSPC);
#endif
  for (const auto& [fd, expected] : cases) {
    SCOPED_TRACE(expected);
    BlockingEventLoop loop;
    std::vector<int> reported;
    OutputChannel channel(fd, loop, Bounded(1 << 20), [&](int error) { reported.push_back(error); });
    EXPECT_TRUE(channel.Write(OutputKind::Keep, "first\n"));
    EXPECT_TRUE(loop.run_until([&] { return !reported.empty(); }, loop.now() + from_ms(20'000)));
    EXPECT_EQ(channel.error(), expected);
    EXPECT_FALSE(channel.Write(OutputKind::Keep, "second\n"));
    EXPECT_FALSE(channel.WriteLatest("k", "third\n"));
    EXPECT_TRUE(channel.Finish(nullptr)) << "nothing is left that could be written";
    EXPECT_EQ(reported, std::vector<int>{expected});
  }
  for (const auto& [fd, expected] : cases) ::close(fd);
}

// The end of a run whose reader never comes back: a stop signal that the
// loop sees while Finish() waits gives the output up, and the channel goes
// without waiting for its writer.
TEST(CliOutputChannel, FinishGivesUpWhenToldWhileItWaits) {
  StalledPipe pipe;
  BlockingEventLoop loop;
  bool stop = false;
  int checks_before_stop = 0;
  {
    OutputChannel channel(pipe.fd(), loop, Bounded(1 << 20));
    channel.Write(OutputKind::Keep, kHead);
    channel.Write(OutputKind::Keep, "never read\n");
    // Comes through the loop while Finish waits, as a signal's byte does.
    loop.post([&] { stop = true; });
    EXPECT_FALSE(channel.Finish([&] {
      if (!stop) ++checks_before_stop;
      return stop;
    }));
    EXPECT_FALSE(channel.Write(OutputKind::Keep, "after\n"));
  }
  EXPECT_GE(checks_before_stop, 1);
  // A reader that comes back later finds nothing more: the output was given up.
  pipe.Resume();
  EXPECT_EQ(pipe.Text().find("never read"), std::string::npos);
}

// The --json events through a channel whose reader is away: each board's
// progress waits as its latest event only; results, board-lost and the
// summary are all there; the drop notice is an event of the schema.
TEST(CliOutputChannel, JsonEventsKeepResultsAndCoalesceProgress) {
  StalledPipe pipe;
  BlockingEventLoop loop;
  const BoardName a{"1-1", "A", ""}, b{"1-2", "", ""};
  {
    OutputChannel::Options options;
    options.ordinary_bound = 200;  // about one phase event
    options.drop_notice = JsonDropNotice;
    OutputChannel channel(pipe.fd(), loop, options);
    channel.Write(OutputKind::Keep, std::string(OutputWriter::kChunk - 1, ' ') + "\n");  // blank: the head
    JsonEventWriter json(channel);
    json.BoardFound(a, "PIC18F4550");
    json.BoardFound(b, "PIC16F1459");
    for (int i = 1; i <= 50; ++i) {
      const std::int64_t t = i * JsonEventWriter::kProgressIntervalUs;
      EXPECT_TRUE(json.Progress(a, i, 50, t));
      if (i <= 20) {
        EXPECT_TRUE(json.Progress(b, i, 40, t));
      }
      json.Phase(a, "uploading");
    }
    json.Result(a, ExitCode::Success, "");
    json.BoardLost(a);
    json.Result(b, ExitCode::Interrupted, "stopped");
    const BoardOutcome outcomes[] = {{a, "PIC18F4550", ExitCode::Success, "", 50, 1.0},
                                     {b, "PIC16F1459", ExitCode::Interrupted, "stopped", 20, 1.0}};
    json.Summary(outcomes);
    EXPECT_TRUE(json.ok());
    pipe.Resume();
    EXPECT_TRUE(channel.Finish(nullptr));
  }
  std::vector<std::string> events;
  std::vector<std::pair<std::string, int>> progress;  // port, done
  int dropped = 0;
  for (const std::string& line : Lines(pipe.Text())) {
    if (line.find_first_not_of(" \n") == std::string::npos) continue;
    const nlohmann::json e = nlohmann::json::parse(line);
    ASSERT_EQ(e.at("schema"), 1);
    events.push_back(e.at("event"));
    if (e["event"] == "progress") progress.emplace_back(e["board"]["port"], e["done"]);
    if (e["event"] == "events-dropped") dropped += e.at("count").get<int>();
  }
  EXPECT_EQ(progress, (std::vector<std::pair<std::string, int>>{{"1-2", 20}, {"1-1", 50}}));
  for (const char* name : {"board-found", "result"}) EXPECT_EQ(std::count(events.begin(), events.end(), name), 2) << name;
  EXPECT_EQ(std::count(events.begin(), events.end(), "board-lost"), 1);
  EXPECT_EQ(events.back(), "summary");
  const auto phases = std::count(events.begin(), events.end(), "phase");
  EXPECT_GE(phases, 1);
  EXPECT_EQ(phases + dropped, 50) << "every phase event written or counted";
}

TEST(CliOutputChannel, JsonWriterIsNotOkOnceItsChannelFailed) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no full device (/dev/full)";
#else
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full, 0);
  BlockingEventLoop loop;
  bool failed = false;
  {
    OutputChannel channel(full, loop, {}, [&](int) { failed = true; });
    JsonEventWriter json(channel);
    EXPECT_TRUE(json.ok());
    json.BoardLost({"1-1", "", ""});
    EXPECT_TRUE(loop.run_until([&] { return failed; }, loop.now() + from_ms(20'000)));
    EXPECT_FALSE(json.ok());
  }
  ::close(full);
#endif
}

}  // namespace
}  // namespace ql::cli
