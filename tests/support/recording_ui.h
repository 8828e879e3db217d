#pragma once
// A front end that records what the upload engine shows: every history line,
// the terminal lines, the progress and the questions asked.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "upload/upload_engine.h"

namespace ql::test {

// What the upload engine shows: the window's side, reduced to what tests read.
class RecordingUi : public UploadUi {
 public:
  explicit RecordingUi(std::string name = "PIC18F4550") : name_(std::move(name)) {}

  void AppendHistory(std::string_view line) override { history.emplace_back(line); }
  void AppendTerminal(std::string_view line) override {
    ++terminal_count;
    if (terminal.size() < keep_terminal) terminal.emplace_back(line);
    if (!line.starts_with(' ')) other_terminal.emplace_back(line);  // not a byte line
    last_terminal.assign(line);
  }
  void ProgressSetMax(std::int64_t max) override {
    progress_max = max;
    progress = 0;
  }
  void ProgressStep() override {
    ++progress_steps;
    progress = std::min(progress + 7, progress_max);
  }
  bool AskBootloaderArea() override {
    ++questions;
    if (on_question) on_question();
    return answer;
  }
  void FinishUpload() override {
    ++finish_calls;
    history.emplace_back("Disconnected.");
    progress = 0;
  }
  std::string DeviceName() override { return name_; }

  std::vector<std::string> history;
  std::vector<std::string> terminal;  // the first `keep_terminal` lines
  std::size_t keep_terminal = 100000;
  std::vector<std::string> other_terminal;  // every terminal line but the byte lines
  std::string last_terminal;
  std::size_t terminal_count = 0;
  std::int64_t progress_max = -1;
  std::int64_t progress = 0;
  std::int64_t progress_steps = 0;
  int questions = 0;
  bool answer = true;
  std::function<void()> on_question;  // runs while the question is open
  int finish_calls = 0;

 private:
  std::string name_;
};

}  // namespace ql::test
