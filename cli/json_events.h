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

// Writes the events on a file descriptor (stdout in the product), each line
// with one write so that nothing else written to the descriptor can land
// inside it. Times are the event loop's clock in microseconds.
class JsonEventWriter {
 public:
  // At most this many progress events per board and second.
  static constexpr std::int64_t kProgressIntervalUs = 100'000;

  explicit JsonEventWriter(int fd) : fd_(fd) {}

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
  bool ok() const { return ok_; }

 private:
  struct ProgressState {
    std::int64_t last_us = 0;
    std::int64_t done = -1;
    std::int64_t total = -1;
  };
  void Write(std::string line);

  int fd_;
  bool ok_ = true;
  std::map<std::string, ProgressState> progress_;
};

// The board object of the events, also used by the summary's entries.
std::string BoardJson(const BoardName& board);

}  // namespace ql::cli
