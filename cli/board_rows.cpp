#include "cli/board_rows.h"

#include <unistd.h>

#include <cerrno>

#include "cli/console.h"

namespace ql::cli {

std::string FitRow(std::string_view row, int width) {
  std::string out;
  int columns = 0;
  for (std::size_t i = 0; i < row.size();) {
    const auto c = static_cast<unsigned char>(row[i]);
    // The bytes of one character: a lead byte and its continuation bytes.
    std::size_t len = 1;
    while (i + len < row.size() && c >= 0xC0 && (static_cast<unsigned char>(row[i + len]) & 0xC0) == 0x80) ++len;
    if (width > 0 && columns >= width - 1) break;
    const bool c1 = c == 0xC2 && len == 2 && static_cast<unsigned char>(row[i + 1]) < 0xA0;
    if (c < 0x20 || c == 0x7F || c1) {
      out += '?';
    } else {
      out.append(row.substr(i, len));
    }
    ++columns;
    i += len;
  }
  return out;
}

BoardRows::~BoardRows() {
  Clear();
  if (redraw_pending_) out_->NotifyWhenDrained({});
}

bool BoardRows::Out(std::string text, Kind kind) {
  if (text.empty()) return true;
  if (out_ != nullptr) return out_->Write(kind == Kind::Keep ? OutputKind::Keep : OutputKind::Ordinary, std::move(text));
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

int BoardRows::Width() const {
  if (width_ > 0) return width_;
  return TerminalColumns(STDERR_FILENO);
}

std::string BoardRows::EraseText() const {
  // Up over the rows drawn, and clear from there to the end of the screen.
  return drawn_ > 0 ? "\x1b[" + std::to_string(drawn_) + "F\x1b[J" : std::string();
}

std::string BoardRows::RowsText() const {
  const int width = Width();
  std::string s;
  for (const auto& [key, text] : rows_) s += FitRow(text, width) + "\n";
  return s;
}

void BoardRows::Redraw() {
  if (!terminal_) return;
  Out(EraseText() + RowsText(), Kind::Keep);
  drawn_ = static_cast<int>(rows_.size());
}

void BoardRows::RedrawWhenDrained() {
  if (out_ == nullptr || redraw_pending_) return;
  redraw_pending_ = true;
  out_->NotifyWhenDrained([this] {
    redraw_pending_ = false;
    Redraw();
  });
}

void BoardRows::Line(std::string_view text, Kind kind) {
  if (sink) {
    sink(text);
    return;
  }
  std::string line = TerminalText(text);
  line.push_back('\n');
  if (!terminal_) {
    Out(std::move(line), kind);
    return;
  }
  if (out_ == nullptr || out_->backlog() < kRowsBacklog) {
    // One piece for erase, line and rows, so the screen never shows half of it.
    Out(EraseText() + line + RowsText(), Kind::Keep);
    drawn_ = static_cast<int>(rows_.size());
    return;
  }
  // Behind: the rows come off once, lines come plain, and the rows return
  // when the channel has drained.
  if (kind == Kind::Keep) {
    Out(EraseText() + line, Kind::Keep);
  } else {
    if (drawn_ > 0) Out(EraseText(), Kind::Keep);
    Out(std::move(line), kind);
  }
  drawn_ = 0;
  if (!rows_.empty()) RedrawWhenDrained();
}

void BoardRows::SetRow(const std::string& key, std::string text) {
  if (!terminal_) return;
  if (text.empty()) {
    rows_.erase(key);
  } else {
    rows_[key] = std::move(text);
  }
  // One redraw for all the changes that come while the channel is writing.
  if (out_ != nullptr && out_->backlog() > 0) {
    RedrawWhenDrained();
    return;
  }
  Redraw();
}

void BoardRows::Clear() {
  if (!terminal_) return;
  rows_.clear();
  Out(EraseText(), Kind::Keep);
  drawn_ = 0;
}

}  // namespace ql::cli
