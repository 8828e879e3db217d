#pragma once
// What the production line keeps of each board, and the view its session
// talks to: shared by the line (cli/production_line.cpp) and one board's
// flow (cli/production_line_flow.cpp).

#include <algorithm>
#include <coroutine>
#include <memory>
#include <string>
#include <string_view>

#include "cli/production_line.h"

namespace ql::cli {

// How often a board's progress row is redrawn, at most.
inline constexpr Micros kRowInterval = from_ms(100);

struct ProductionLine::Board {
  std::unique_ptr<TJvHidDevice> device;
  std::unique_ptr<BoardView> view;
  std::unique_ptr<Session> session;
  Task<bool> flow;
  BoardResult result;
  std::string identity;
  std::string label;  // what its lines start with
  Micros started = 0;
  Micros upload_started = 0;
  std::int64_t pending_bytes = 0;  // of the write command under way
  std::string last_history;        // the upload's last history line: a refusal's cause
  bool ended = false;
  bool lost = false;       // has left the bus
  bool completed = false;  // its upload completed, and the reset went out
  // The bootloader-area question: the upload waiting for its answer.
  std::coroutine_handle<> asking;
  bool answer = false;
  bool answer_by_stop = false;
};

// The upload's wait for the answer to its question.
struct ProductionLine::AnswerWait {
  ProductionLine& line;
  Board& board;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) {
    board.asking = h;
    line.questions_.push_back(&board);
    line.AskNext();
  }
  bool await_resume() const noexcept { return board.answer; }
};

// One board's lines, question and progress.
class ProductionLine::BoardView final : public SessionView {
 public:
  BoardView(ProductionLine& line, Board& board) : line_(line), board_(board) {}

  void AppendHistory(std::string_view text) override {
    board_.last_history = text;
    Say(text);
  }
  void AppendTerminal(std::string_view text) override {
    // Byte lines start with spaces; the step lines ("Erase...") show with -v.
    if (line_.options_.verbose > 0 && !text.empty() && text.front() != ' ') Say(text);
  }
  void ProgressSetMax(std::int64_t max) override {
    max_ = max;
    position_ = 0;
    Row();
  }
  void ProgressStep() override {
    position_ = std::min(position_ + 7, max_);
    if (line_.json != nullptr) {
      line_.json->Progress(line_.NameOf(board_), position_ / 7, max_ / 7, line_.loop_.now());
    }
    if (line_.loop_.now() - drawn_at_ >= kRowInterval || position_ == max_) Row();
  }
  // Never called: the upload awaits the question's task below.
  bool AskBootloaderArea() override { return false; }
  Task<bool> AskBootloaderAreaTask() override {
    if (line_.options_.yes) {
      Say(kBootAreaQuestion);
      Say("Answered OK (--yes).");
      co_return true;
    }
    if (!line_.options_.ask || line_.answers == nullptr) {
      Say(kBootAreaQuestion);
      Say("No terminal to answer on: answered No (--yes answers OK).");
      co_return false;
    }
    if (line_.stopping_) {
      board_.answer_by_stop = true;
      co_return false;
    }
    const bool yes = co_await AnswerWait{line_, board_};
    co_return yes;
  }
  void FinishUpload() override { Say("Disconnected."); }
  std::string DeviceName() override { return board_.result.device; }
  void PhaseChanged(SessionPhase phase) override {
    phase_ = phase;
    if (line_.json != nullptr) line_.json->Phase(line_.NameOf(board_), PhaseName(phase));
    Row();
  }

  void Say(std::string_view text, BoardRows::Kind kind = BoardRows::Kind::Ordinary) {
    // A CR LF inside the text (the question) starts a new line: with several
    // boards each of them names the board.
    const std::string prefix = line_.options_.several ? "[" + board_.label + "] " : std::string();
    const std::string s(text);
    for (std::size_t at = 0;;) {
      const std::size_t nl = s.find("\r\n", at);
      line_.rows_.Line(prefix + s.substr(at, nl == std::string::npos ? nl : nl - at), kind);
      if (nl == std::string::npos) break;
      at = nl + 2;
    }
  }
  void Row() {
    drawn_at_ = line_.loop_.now();
    // While a question waits for its answer the rows stay off the screen:
    // the answer is typed below the last line.
    if (!line_.rows_.terminal() || line_.asking_) return;
    if (board_.ended) {
      line_.rows_.SetRow(board_.label, "");
      return;
    }
    const int percent = max_ > 0 ? static_cast<int>(position_ * 100 / max_) : 0;
    const int filled = percent / 5;
    line_.rows_.SetRow(board_.label, "  " + board_.label + "  [" + std::string(filled, '#') +
                                         std::string(20 - filled, '.') + "] " + std::to_string(percent) + "%  " +
                                         std::string(PhaseName(phase_)));
  }

 private:
  ProductionLine& line_;
  Board& board_;
  std::int64_t max_ = 0;
  std::int64_t position_ = 0;
  Micros drawn_at_ = -kRowInterval;
  SessionPhase phase_ = SessionPhase::Attached;
};

}  // namespace ql::cli
