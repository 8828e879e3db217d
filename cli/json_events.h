#pragma once
// --json: the command line's events as JSON Lines, one object per line, for
// scripts and production lines. The schema (docs/json-events.md) carries a
// version; within a version fields are only ever added.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "cli/exit_codes.h"
#include "cli/output_channel.h"

namespace ql::cli {

inline constexpr int kJsonEventsSchema = 1;

// Whatever is known of a board; empty means unknown (written as null). The
// port is the stable name; the path changes with every reset.
struct BoardName {
  std::string port;
  std::string serial;
  std::string path;
};

// One board's line of the summary.
struct BoardOutcome {
  BoardName board;
  std::string device;  // the device's name, empty when never read
  ExitCode result = ExitCode::Failed;
  std::string message;
  std::int64_t bytes = 0;  // bytes of the image written
  double seconds = 0;      // from the board's start to its result
};

// Writes the events, each line in one piece so that nothing else written to
// the same file can land inside it. Times are the event loop's clock in
// microseconds.
class JsonEventWriter {
 public:
  // At most this many progress events per board and second.
  static constexpr std::int64_t kProgressIntervalUs = 100'000;

  // Straight onto a file descriptor, each write waiting for it (tests, tools).
  explicit JsonEventWriter(int fd) : fd_(fd) {}
  // Through `channel` (stdout in the program), so a reader that stops holds
  // up no board: results, board-found, board-lost and the summary are never
  // dropped, a board's progress waits as its latest event only, and phase
  // events beyond the channel's bound are counted in an `events-dropped`
  // event (JsonDropNotice).
  explicit JsonEventWriter(OutputChannel& channel) : channel_(&channel) {}

  void BoardFound(const BoardName& board, std::string_view device);
  void BoardLost(const BoardName& board);
  // `phase` is the session phase's name (PhaseName).
  void Phase(const BoardName& board, std::string_view phase);
  // Bytes `done` of `total`. Dropped when the board's last progress event is
  // less than kProgressIntervalUs old, except the one that reaches `total`;
  // a repeat of the last written one is always dropped. True when written.
  bool Progress(const BoardName& board, std::int64_t done, std::int64_t total, std::int64_t now_us);
  // The board's end: its exit class and the message that explains it. Also
  // forgets the board's progress rate, so a board that comes back starts anew.
  void Result(const BoardName& board, ExitCode code, std::string_view message);
  void Summary(std::span<const BoardOutcome> boards);

  // False once a line could not be written whole (closed pipe, full disk).
  bool ok() const { return channel_ != nullptr ? !channel_->failed() : ok_; }

 private:
  struct ProgressState {
    std::int64_t last_us = 0;
    std::int64_t done = -1;
    std::int64_t total = -1;
  };
  enum class Class { Keep, Ordinary, Progress };
  void Write(std::string line, Class kind, const std::string& key = {});

  int fd_ = -1;
  OutputChannel* channel_ = nullptr;
  bool ok_ = true;
  std::map<std::string, ProgressState> progress_;
};

// The board object of the events, also used by the summary's entries.
std::string BoardJson(const BoardName& board);

// The `events-dropped` line written where `count` events were left out
// because stdout was not being read (OutputChannel::Options::drop_notice).
std::string JsonDropNotice(std::uint64_t count);

}  // namespace ql::cli
