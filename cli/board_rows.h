#pragma once
// The lines of several boards on stderr: on a terminal, one progress row per
// board stays at the bottom, redrawn in place, with every log line printed
// above them; to a pipe or a file, plain lines only.

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace ql::cli {

class BoardRows {
 public:
  // `terminal`: whether stderr is one (rows are drawn only then).
  explicit BoardRows(bool terminal) : terminal_(terminal) {}
  ~BoardRows() { Clear(); }
  BoardRows(const BoardRows&) = delete;
  BoardRows& operator=(const BoardRows&) = delete;

  void Line(std::string_view text);
  // Sets (or, with "", removes) the row of `key`.
  void SetRow(const std::string& key, std::string text);
  // Takes the rows off the screen (before the table).
  void Clear();
  bool terminal() const { return terminal_; }
  // Where lines go instead of stderr (tests); rows are then not drawn.
  std::function<void(std::string_view)> sink;

 private:
  void Erase();
  void Draw();

  bool terminal_;
  std::map<std::string, std::string> rows_;
  int drawn_ = 0;
};

}  // namespace ql::cli
