#include "cli/console.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace ql::cli {

namespace {
constexpr int kBarWidth = 40;
}

std::string TerminalText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

Console::Console() : bar_enabled_(::isatty(STDERR_FILENO) == 1) {}

Console::Console(OutputChannel& out) : out_(&out), bar_enabled_(::isatty(STDERR_FILENO) == 1) {}

Console::~Console() { ProgressDone(); }

bool Console::Out(std::string text, Kind kind) {
  if (out_ != nullptr) return out_->Write(kind == Kind::Keep ? OutputKind::Keep : OutputKind::Ordinary, std::move(text));
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  return true;
}

void Console::Line(std::string_view text, Kind kind) {
  // The bar's line cleared, the line, the bar again below it: one piece.
  std::string s = bar_shown_ ? "\r\033[K" : "";
  s += TerminalText(text);
  s += '\n';
  const bool bar = bar_enabled_ && max_ > 0 && position_ < max_;
  if (bar) s += BarText();
  // A line dropped leaves the screen as it was.
  if (!Out(std::move(s), kind)) return;
  bar_shown_ = bar;
  if (bar) drawn_permille_ = static_cast<int>(position_ * 1000 / max_);
}

void Console::ProgressSetMax(std::int64_t max) {
  max_ = max;
  position_ = 0;
  drawn_permille_ = -1;
  if (max_ > 0) DrawBar();
}

void Console::ProgressStep(std::int64_t by) {
  position_ = std::min(max_, position_ + by);
  if (!bar_enabled_ || max_ <= 0) return;
  const int permille = static_cast<int>(position_ * 1000 / max_);
  if (permille != drawn_permille_) DrawBar();
  if (position_ == max_ && bar_shown_) {
    // Full: the bar keeps its line and later lines go below it.
    Out("\n", Kind::Keep);
    bar_shown_ = false;
    ++bar_number_;
  }
}

void Console::ProgressDone() {
  if (bar_shown_) {
    Out("\n", Kind::Keep);
    bar_shown_ = false;
    ++bar_number_;
  }
  max_ = 0;
}

std::string Console::BarText() {
  const int permille = static_cast<int>(position_ * 1000 / max_);
  const int filled = permille * kBarWidth / 1000;
  char line[kBarWidth + 64];
  int n = std::snprintf(line, sizeof line, "\r[");
  for (int i = 0; i < kBarWidth; ++i) line[n++] = i < filled ? '#' : '.';
  // The maximum counts seven steps per byte written.
  n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "] %3d%%  %lld/%lld bytes", permille / 10,
                     static_cast<long long>(position_ / 7), static_cast<long long>(max_ / 7));
  return std::string(line, static_cast<std::size_t>(n));
}

void Console::DrawBar() {
  if (!bar_enabled_ || max_ <= 0) return;
  // Each state of the bar redraws its whole line: a state not yet written
  // is replaced by the next one. A bar that has ended keeps its last state.
  std::string text = BarText();
  if (out_ != nullptr) {
    if (!out_->WriteLatest("bar " + std::to_string(bar_number_), std::move(text))) return;
  } else {
    Out(std::move(text), Kind::Keep);
  }
  bar_shown_ = true;
  drawn_permille_ = static_cast<int>(position_ * 1000 / max_);
}

bool Console::Ask(std::string_view question) {
  std::string q = bar_shown_ ? "\r\033[K" : "";
  bar_shown_ = false;
  q += TerminalText(question) + " [y/N] ";
  Out(std::move(q), Kind::Keep);
  std::string answer;
  char c = 0;
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, &c, 1);
    if (got <= 0) {
      Out("\n", Kind::Keep);
      return false;
    }
    if (c == '\n') break;
    answer += c;
  }
  while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\r')) answer.pop_back();
  std::transform(answer.begin(), answer.end(), answer.begin(), [](char ch) { return static_cast<char>(std::tolower(static_cast<unsigned char>(ch))); });
  return answer == "y" || answer == "yes";
}

}  // namespace ql::cli
