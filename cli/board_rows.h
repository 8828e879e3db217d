#pragma once
// The lines of several boards on stderr: on a terminal, one progress row per
// board stays at the bottom, redrawn in place, with every log line printed
// above them; to a pipe or a file, plain lines only.
//
// Through an output channel nothing here waits for the terminal. The rows
// drawn are counted as they will stand once the channel has written what it
// holds, so each redraw erases exactly the rows on the screen: every piece
// that draws or erases rows is one the channel never drops. While the
// channel is backed up the rows are taken off and lines come plain (those
// may be dropped); the rows come back once it has drained. Each row is cut
// to the terminal's width, so it takes one screen line and the next redraw
// leaves nothing of it behind.

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "cli/output_channel.h"

namespace ql::cli {

class BoardRows {
 public:
  // Which lines must never be dropped, however far behind the reader is.
  enum class Kind {
    Ordinary,  // a board's history, -v packets
    Keep,      // results, the table, the run's outcome
  };

  // `terminal`: whether stderr is one (rows are drawn only then). Written
  // straight to stderr, each write waiting for it: for tests and tools,
  // which usually set `sink`.
  explicit BoardRows(bool terminal) : terminal_(terminal) {}
  // Through `out` (stderr's channel in the program). `width`: the terminal's
  // columns; 0 reads them from stderr at each redraw, so a resized terminal
  // is followed.
  BoardRows(OutputChannel& out, bool terminal, int width = 0) : terminal_(terminal), out_(&out), width_(width) {}
  ~BoardRows();
  BoardRows(const BoardRows&) = delete;
  BoardRows& operator=(const BoardRows&) = delete;

  void Line(std::string_view text, Kind kind = Kind::Ordinary);
  // Sets (or, with "", removes) the row of `key`.
  void SetRow(const std::string& key, std::string text);
  // Takes the rows off the screen (before the table).
  void Clear();
  bool terminal() const { return terminal_; }
  // Where lines go instead of stderr (tests); rows are then not drawn.
  std::function<void(std::string_view)> sink;

  // Backlog (bytes) of the channel above which rows are taken off and lines
  // come plain.
  static constexpr std::size_t kRowsBacklog = 64 * 1024;

 private:
  // Sends `text`; false when it was dropped.
  bool Out(std::string text, Kind kind);
  std::string EraseText() const;
  std::string RowsText() const;
  int Width() const;
  // Draws the rows once the channel has drained.
  void RedrawWhenDrained();
  void Redraw();

  bool terminal_;
  OutputChannel* out_ = nullptr;
  int width_ = 0;
  std::map<std::string, std::string> rows_;
  // Rows on the screen once everything handed over has been written.
  int drawn_ = 0;
  bool redraw_pending_ = false;
};

// `row` as one screen line of `width` columns: cut to `width - 1` characters
// (a character in the last column makes some terminals wrap), control
// characters shown as '?'. Width 0: no cut.
std::string FitRow(std::string_view row, int width);

}  // namespace ql::cli
