#include "cli/board_rows.h"

#include <unistd.h>

#include "cli/console.h"

namespace ql::cli {

namespace {
void Out(const std::string& s) { [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, s.data(), s.size()); }
}  // namespace

void BoardRows::Erase() {
  // Up over the rows drawn, and clear from there to the end of the screen.
  if (drawn_ > 0) Out("\x1b[" + std::to_string(drawn_) + "F\x1b[J");
  drawn_ = 0;
}

void BoardRows::Draw() {
  std::string s;
  for (const auto& [key, text] : rows_) s += text + "\n";
  Out(s);
  drawn_ = static_cast<int>(rows_.size());
}

void BoardRows::Line(std::string_view text) {
  if (sink) {
    sink(text);
    return;
  }
  std::string line = TerminalText(text);
  line.push_back('\n');
  if (!terminal_) {
    Out(line);
    return;
  }
  // One write for erase, line and rows, so the screen never shows half of it.
  std::string s;
  if (drawn_ > 0) s = "\x1b[" + std::to_string(drawn_) + "F\x1b[J";
  s += line;
  for (const auto& [key, row] : rows_) s += row + "\n";
  Out(s);
  drawn_ = static_cast<int>(rows_.size());
}

void BoardRows::SetRow(const std::string& key, std::string text) {
  if (!terminal_) return;
  if (text.empty()) {
    rows_.erase(key);
  } else {
    rows_[key] = std::move(text);
  }
  Erase();
  Draw();
}

void BoardRows::Clear() {
  if (!terminal_) return;
  Erase();
  rows_.clear();
}

}  // namespace ql::cli
