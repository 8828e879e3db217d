#pragma once
// What quelloader-cli writes to the person at the terminal: history lines,
// packets for -v, a progress bar (only when stderr is a terminal, so logs and
// pipes never see carriage returns) and the yes/no question. All on stderr,
// through its output channel when there is one: then a terminal on hold or
// a stalled pipe holds up nothing, the bar waits as its latest state only,
// and lines beyond the channel's bound are dropped with a notice, except the
// ones marked Keep.

#include <cstdint>
#include <string>
#include <string_view>

#include "cli/output_channel.h"

namespace ql::cli {

class Console {
 public:
  enum class Kind { Ordinary, Keep };

  // Straight to stderr, each write waiting for it.
  Console();
  explicit Console(OutputChannel& out);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // One line; a CR LF inside the text starts a new line.
  void Line(std::string_view text, Kind kind = Kind::Ordinary);

  void ProgressSetMax(std::int64_t max);
  void ProgressStep(std::int64_t by);
  // Ends the bar's line, leaving it at its last state.
  void ProgressDone();

  // Asks `question` (lines separated by CR LF) and reads the answer from
  // stdin; only "y"/"yes" (any case) is yes. False at end of input or when a
  // signal interrupts the read.
  bool Ask(std::string_view question);

 private:
  void DrawBar();
  std::string BarText();
  // Sends `text`; false when it was dropped.
  bool Out(std::string text, Kind kind);

  OutputChannel* out_ = nullptr;
  bool bar_enabled_ = false;
  bool bar_shown_ = false;
  std::int64_t max_ = 0;
  std::int64_t position_ = 0;
  int drawn_permille_ = -1;
  int bar_number_ = 0;  // a bar that has ended is never replaced by the next one's states
};

// Text for a terminal: CR LF pairs become LF.
std::string TerminalText(std::string_view text);

}  // namespace ql::cli
