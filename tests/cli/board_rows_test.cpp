// The boards' rows on a terminal, read back through a small model of the
// screen: whatever the rows' redraws, coalesced or put off while the output
// is behind, the screen must end up with every line once and the rows once,
// below them, with nothing stale left over.

#include "cli/board_rows.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "core/blocking_event_loop.h"
#include "tests/support/test_pipe.h"

namespace ql::cli {
namespace {

// The screen of a terminal `width` columns wide with endless height: the
// text, the cursor, CR, LF, cursor to a previous line (ESC [ n F), erase to
// the end of the screen and of the line (ESC [ J, ESC [ K). NUL is ignored,
// as terminals do; SOH takes a snapshot of the screen.
class Screen {
 public:
  explicit Screen(int width) : width_(width) {}
  void Feed(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const char c = bytes[i];
      if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
        std::size_t j = i + 2;
        int n = 0;
        while (j < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[j]))) n = n * 10 + (bytes[j++] - '0');
        ASSERT_LT(j, bytes.size());
        switch (bytes[j]) {
          case 'F':
            row_ = std::max(0, row_ - std::max(n, 1));
            col_ = 0;
            break;
          case 'J':
            Line().resize(std::min(Line().size(), static_cast<std::size_t>(col_)));
            lines_.resize(static_cast<std::size_t>(row_) + 1);
            break;
          case 'K': Line().resize(std::min(Line().size(), static_cast<std::size_t>(col_))); break;
          default: FAIL() << "unexpected escape sequence " << bytes.substr(i, j - i + 1);
        }
        i = j;
      } else if (c == '\r') {
        col_ = 0;
      } else if (c == '\n') {
        ++row_;
        col_ = 0;
        Line();
      } else if (c == '\x01') {
        snapshots.push_back(Lines());
      } else if (c != '\0') {
        if (col_ >= width_) {  // the character goes to the next line
          ++row_;
          col_ = 0;
        }
        std::string& l = Line();
        if (l.size() <= static_cast<std::size_t>(col_)) l.resize(static_cast<std::size_t>(col_) + 1, ' ');
        l[static_cast<std::size_t>(col_++)] = c;
      }
    }
  }
  // The screen's lines down to the cursor's, which is left out when empty.
  std::vector<std::string> Lines() const {
    std::vector<std::string> out(lines_.begin(), lines_.begin() + std::min<std::size_t>(lines_.size(), row_ + 1));
    if (!out.empty() && out.back().empty()) out.pop_back();
    return out;
  }
  std::vector<std::vector<std::string>> snapshots;

 private:
  std::string& Line() {
    if (lines_.size() <= static_cast<std::size_t>(row_)) lines_.resize(static_cast<std::size_t>(row_) + 1);
    return lines_[static_cast<std::size_t>(row_)];
  }
  int width_;
  int row_ = 0, col_ = 0;
  std::vector<std::string> lines_;
};

// stderr as a pipe: its reader can be held back (the pipe filled with NUL
// bytes first) and let go.
class Terminal {
 public:
  explicit Terminal(bool held) {
    EXPECT_TRUE(test::MakePipe(fds_));
    if (held) {
      test::FillPipe(fds_[1]);
    } else {
      Resume();
    }
  }
  ~Terminal() {
    Close();
    if (reader_.joinable()) reader_.join();
    ::close(fds_[0]);
  }
  int fd() const { return fds_[1]; }
  void Resume() {
    reader_ = std::thread([this] {
      char buf[8192];
      for (ssize_t n; (n = ::read(fds_[0], buf, sizeof buf)) != 0;)
        if (n > 0) text_.append(buf, static_cast<std::size_t>(n));
    });
  }
  std::string Text() {
    Close();
    if (reader_.joinable()) reader_.join();
    return text_;
  }

 private:
  void Close() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }
  int fds_[2] = {-1, -1};
  std::thread reader_;
  std::string text_;
};

std::string Row(const std::string& board, int percent) {
  // Longer than the 40 columns of the tests' terminal.
  return "  " + board + "  [" + std::string(static_cast<std::size_t>(percent / 5), '#') +
         std::string(static_cast<std::size_t>(20 - percent / 5), '.') + "] " + std::to_string(percent) +
         "%  uploading to the board";
}

TEST(CliBoardRows, RowsAreCutToTheTerminalsWidthSoRedrawsLeaveNothingBehind) {
  constexpr int kWidth = 40;
  Terminal terminal(false);
  BlockingEventLoop loop;
  const std::string wide = std::string(50, 'w');  // a line above the rows wraps as it does
  {
    OutputChannel channel(terminal.fd(), loop, {});
    BoardRows rows(channel, true, kWidth);
    rows.Line("Opened: x.hex");
    for (int p = 0; p <= 100; p += 10) {
      rows.SetRow("sim-1", Row("sim-1 SIM0001", p));
      rows.SetRow("sim-2", Row("sim-2 SIM0002", p / 2));
      if (p == 50) rows.Line(wide);
      if (p == 70) rows.SetRow("sim-3", Row("sim-3", 1));
      if (p == 90) rows.SetRow("sim-3", "");
      rows.Line("[sim-1] at " + std::to_string(p));
      // Drained between steps or not: the screen must come out the same.
      if (p % 20 == 0) {
        ASSERT_TRUE(channel.Finish(nullptr));
      }
    }
    ASSERT_TRUE(channel.Finish(nullptr));
    channel.Write(OutputKind::Keep, "\x01");  // the screen now
    rows.Clear();
    rows.Line("port  result", BoardRows::Kind::Keep);
    ASSERT_TRUE(channel.Finish(nullptr));
  }
  Screen screen(kWidth);
  screen.Feed(terminal.Text());
  std::vector<std::string> expected = {"Opened: x.hex"};
  for (int p = 0; p <= 100; p += 10) {
    if (p == 50) expected.insert(expected.end(), {wide.substr(0, 40), wide.substr(40)});
    expected.push_back("[sim-1] at " + std::to_string(p));
  }
  std::vector<std::string> with_rows = expected;
  with_rows.push_back(Row("sim-1 SIM0001", 100).substr(0, kWidth - 1));
  with_rows.push_back(Row("sim-2 SIM0002", 50).substr(0, kWidth - 1));
  ASSERT_EQ(screen.snapshots.size(), 1u);
  EXPECT_EQ(screen.snapshots[0], with_rows);
  expected.push_back("port  result");
  EXPECT_EQ(screen.Lines(), expected);
}

// The reader is away: the redraws that come meanwhile are one redraw, lines
// come plain without rows around them, and once the output has drained the
// rows are back, drawn once, below every line.
TEST(CliBoardRows, WhileTheOutputIsBehindRedrawsWaitAndCoalesce) {
  constexpr int kWidth = 80;
  Terminal terminal(true);
  BlockingEventLoop loop;
  std::string text;
  {
    OutputChannel channel(terminal.fd(), loop, {});
    BoardRows rows(channel, true, kWidth);
    rows.SetRow("a", "row a 0%");
    rows.Line("first");  // rows drawn around it when the channel is not yet behind
    channel.Write(OutputKind::Keep, std::string(BoardRows::kRowsBacklog, '\0'));  // now it is
    for (int p = 1; p <= 9; ++p) {
      rows.SetRow("a", "row a " + std::to_string(p * 10) + "%");
      rows.SetRow("b", "row b " + std::to_string(p) + "%");
      rows.Line("line " + std::to_string(p));
    }
    terminal.Resume();
    ASSERT_TRUE(channel.Finish(nullptr));
    channel.Write(OutputKind::Keep, "\x01");
    ASSERT_TRUE(channel.Finish(nullptr));
  }
  text = terminal.Text();
  Screen screen(kWidth);
  screen.Feed(text);
  std::vector<std::string> expected = {"first"};
  for (int p = 1; p <= 9; ++p) expected.push_back("line " + std::to_string(p));
  expected.insert(expected.end(), {"row a 90%", "row b 9%"});
  ASSERT_EQ(screen.snapshots.size(), 1u);
  EXPECT_EQ(screen.snapshots[0], expected);
  for (int p = 1; p <= 8; ++p) {
    EXPECT_EQ(text.find("row b " + std::to_string(p) + "%"), std::string::npos) << "a redraw not coalesced: " << p;
  }
}

TEST(CliBoardRows, FitRowCountsCharactersAndShowsControlsAsQuestionMarks) {
  EXPECT_EQ(FitRow("abcdef", 0), "abcdef");
  EXPECT_EQ(FitRow("abcdef", 4), "abc");
  EXPECT_EQ(FitRow("h\xC3\xA9llo w\xC3\xB6rld", 6), "h\xC3\xA9llo");  // five characters, six bytes
  EXPECT_EQ(FitRow("a\x1b[2Jb\tc\x7F", 0), "a?[2Jb?c?");
  EXPECT_EQ(FitRow("x\xC2\x9By", 0), "x?y");  // a C1 control, as a terminal would read it
}

}  // namespace
}  // namespace ql::cli
