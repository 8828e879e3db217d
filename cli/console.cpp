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

Console::~Console() { ProgressDone(); }

void Console::Line(std::string_view text) {
  ClearBar();
  std::string s = TerminalText(text);
  s += '\n';
  std::fwrite(s.data(), 1, s.size(), stderr);
  if (max_ > 0 && position_ < max_) DrawBar();
  std::fflush(stderr);
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
    std::fputc('\n', stderr);
    bar_shown_ = false;
  }
}

void Console::ProgressDone() {
  if (bar_shown_) {
    std::fputc('\n', stderr);
    std::fflush(stderr);
    bar_shown_ = false;
  }
  max_ = 0;
}

void Console::ClearBar() {
  if (bar_shown_) {
    std::fputs("\r\033[K", stderr);
    bar_shown_ = false;
  }
}

void Console::DrawBar() {
  if (!bar_enabled_ || max_ <= 0) return;
  const int permille = static_cast<int>(position_ * 1000 / max_);
  const int filled = permille * kBarWidth / 1000;
  char line[kBarWidth + 64];
  int n = std::snprintf(line, sizeof line, "\r[");
  for (int i = 0; i < kBarWidth; ++i) line[n++] = i < filled ? '#' : '.';
  // The maximum counts seven steps per byte written.
  n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), "] %3d%%  %lld/%lld bytes", permille / 10,
                     static_cast<long long>(position_ / 7), static_cast<long long>(max_ / 7));
  std::fwrite(line, 1, static_cast<std::size_t>(n), stderr);
  std::fflush(stderr);
  bar_shown_ = true;
  drawn_permille_ = permille;
}

bool Console::Ask(std::string_view question) {
  ClearBar();
  std::string q = TerminalText(question) + " [y/N] ";
  std::fwrite(q.data(), 1, q.size(), stderr);
  std::fflush(stderr);
  std::string answer;
  char c = 0;
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, &c, 1);
    if (got <= 0) {
      std::fputc('\n', stderr);
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
