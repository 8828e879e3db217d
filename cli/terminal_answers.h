#pragma once
// The answers to the bootloader-area question, read from the terminal on
// stdin through the event loop: while one board waits for its answer every
// other board goes on, and a stop request can take the question back. The
// reading is each system's own: a watch of the loop on Linux
// (cli/posix/terminal_answers.cpp), a reader thread that posts what it reads
// on Windows (cli/win32/terminal_answers.cpp).

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "cli/production_line.h"
#include "core/event_loop.h"

namespace ql::cli {

class TerminalAnswers final : public AnswerReader {
 public:
  // Reads lines from `fd` (stdin in the program) while a question is open.
  TerminalAnswers(EventLoop& loop, int fd) : loop_(loop), fd_(fd) {}
  ~TerminalAnswers() override;
  TerminalAnswers(const TerminalAnswers&) = delete;
  TerminalAnswers& operator=(const TerminalAnswers&) = delete;

  void Read(std::function<void(bool yes)> answered) override;
  void Cancel() override;

  // Whether `line` says yes: "y" or "yes" in any case, blanks around it aside.
  static bool Yes(std::string line);

 private:
  // Reads `fd_` into Received() while a question is open.
  void Listen();
  // No question is open (what still comes in is kept for the next one).
  void Unlisten();
  // What came from the input: `bytes`, or its end.
  void Received(std::string_view bytes, bool ended);
  // Answers the open question when a whole line (or the end of input) is in.
  bool Deliver();

  EventLoop& loop_;
  int fd_;
  EventLoop::WatchId watch_ = 0;  // Linux
  struct Reader;                  // Windows
  std::shared_ptr<Reader> reader_;
  std::string pending_;  // read and not yet taken as an answer
  bool ended_ = false;
  std::function<void(bool)> answered_;
};

}  // namespace ql::cli
