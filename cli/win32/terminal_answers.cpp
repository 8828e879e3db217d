// Reading the answers on Windows, where the loop watches no descriptors: a
// thread reads stdin from the first question on and posts what it reads to
// the loop. A read cannot be taken back, so the thread is let go when the
// answers end; it holds nothing of theirs.
#include <io.h>
#include <windows.h>

#include <mutex>
#include <thread>

#include "cli/terminal_answers.h"

namespace ql::cli {

struct TerminalAnswers::Reader {
  std::mutex mutex;
  EventLoop* loop = nullptr;         // under mutex; null once the answers have ended
  TerminalAnswers* owner = nullptr;  // event thread only
};

TerminalAnswers::~TerminalAnswers() {
  Cancel();
  if (!reader_) return;
  reader_->owner = nullptr;
  std::lock_guard lock(reader_->mutex);
  reader_->loop = nullptr;
}

void TerminalAnswers::Listen() {
  if (reader_) return;
  reader_ = std::make_shared<Reader>();
  reader_->loop = &loop_;
  reader_->owner = this;
  const HANDLE input = reinterpret_cast<HANDLE>(::_get_osfhandle(fd_));
  std::thread([reader = reader_, input] {
    for (;;) {
      char buf[256];
      DWORD n = 0;
      const bool ok = ::ReadFile(input, buf, sizeof buf, &n, nullptr) != 0;
      // Ctrl+C ends a console read: the stop request deals with the question.
      if (!ok && ::GetLastError() == ERROR_OPERATION_ABORTED) continue;
      const bool ended = !ok || n == 0;
      std::lock_guard lock(reader->mutex);
      if (reader->loop == nullptr) return;
      reader->loop->post([reader, bytes = std::string(buf, n), ended] {
        if (reader->owner != nullptr) reader->owner->Received(bytes, ended);
      });
      if (ended) return;
    }
  }).detach();
}

// The thread goes on reading: what is typed before the next question answers it.
void TerminalAnswers::Unlisten() {}

}  // namespace ql::cli
