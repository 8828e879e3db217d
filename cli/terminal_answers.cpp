#include "cli/terminal_answers.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace ql::cli {

bool TerminalAnswers::Yes(std::string line) {
  const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!line.empty() && blank(static_cast<unsigned char>(line.back()))) line.pop_back();
  line.erase(line.begin(),
             std::find_if(line.begin(), line.end(), [&](char c) { return !blank(static_cast<unsigned char>(c)); }));
  std::transform(line.begin(), line.end(), line.begin(),
                 [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
  return line == "y" || line == "yes";
}

void TerminalAnswers::Read(std::function<void(bool yes)> answered) {
  answered_ = std::move(answered);
  // A line typed ahead answers at once, from the loop as any other would.
  if (ended_ || pending_.find('\n') != std::string::npos) {
    loop_.post([this] { Deliver(); });
    return;
  }
  Listen();
}

void TerminalAnswers::Cancel() {
  answered_ = {};
  Unlisten();
}

void TerminalAnswers::Received(std::string_view bytes, bool ended) {
  pending_.append(bytes);
  if (ended) ended_ = true;
  Deliver();
}

bool TerminalAnswers::Deliver() {
  if (!answered_) return false;
  const std::size_t nl = pending_.find('\n');
  if (nl == std::string::npos && !ended_) return false;
  bool yes = false;
  if (nl != std::string::npos) {
    yes = Yes(pending_.substr(0, nl));
    pending_.erase(0, nl + 1);
  }
  std::function<void(bool)> answered = std::exchange(answered_, {});
  Unlisten();
  answered(yes);
  return true;
}

}  // namespace ql::cli
