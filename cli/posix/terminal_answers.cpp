// Reading the answers on Linux: the event loop watches stdin while a
// question is open (a terminal at its end would otherwise be readable all
// the time).
#include <unistd.h>

#include <cerrno>

#include "cli/terminal_answers.h"

namespace ql::cli {

TerminalAnswers::~TerminalAnswers() { Cancel(); }

void TerminalAnswers::Listen() {
  if (watch_ != 0) return;
  watch_ = loop_.watch_readable(fd_, [this] {
    char buf[256];
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) {
      Received({buf, static_cast<std::size_t>(n)}, false);
    } else {
      Received({}, n == 0 || (errno != EINTR && errno != EAGAIN));
    }
  });
}

void TerminalAnswers::Unlisten() {
  if (watch_ != 0) loop_.unwatch(watch_);
  watch_ = 0;
}

}  // namespace ql::cli
