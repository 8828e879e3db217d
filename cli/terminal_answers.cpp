#include "cli/terminal_answers.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <utility>

namespace ql::cli {

TerminalAnswers::~TerminalAnswers() { Cancel(); }

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
  // Watched only while a question is open: a terminal at its end would
  // otherwise be readable all the time.
  if (watch_ == 0) watch_ = loop_.watch_readable(fd_, [this] { Readable(); });
}

void TerminalAnswers::Cancel() {
  answered_ = {};
  if (watch_ != 0) loop_.unwatch(watch_);
  watch_ = 0;
}

void TerminalAnswers::Readable() {
  char buf[256];
  const ssize_t n = ::read(fd_, buf, sizeof buf);
  if (n > 0) {
    pending_.append(buf, static_cast<std::size_t>(n));
  } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
    ended_ = true;
  }
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
  if (watch_ != 0) loop_.unwatch(watch_);
  watch_ = 0;
  answered(yes);
  return true;
}

}  // namespace ql::cli
