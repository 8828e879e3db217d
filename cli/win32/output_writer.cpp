// The output channel's writes on Windows: WriteFile on the descriptor's
// handle (a console, a pipe or a file; none of them can be made
// non-blocking), which Interrupt() cancels on the writer thread. A cancel
// that comes just before the write starts cannot stop it: the channel then
// leaves its writer waiting, as it does for any write it gives up on.
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <system_error>

#include "cli/output_writer.h"
#include "core/win32/windows_text.h"

namespace ql::cli {

// As a Linux pipe's atomic write: a console or a pipe takes it in one piece.
const std::size_t OutputWriter::kChunk = 4096;

struct OutputWriter::System {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::atomic<bool> interrupted{false};
  std::mutex mutex;
  HANDLE writer_thread = nullptr;  // under mutex: the thread in Write(), for the cancel
};

OutputWriter::OutputWriter(int fd) : system_(std::make_unique<System>()) {
  system_->handle = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  if (system_->handle == INVALID_HANDLE_VALUE) {
    throw std::system_error(EBADF, std::generic_category(), "cannot create an output channel");
  }
}

OutputWriter::~OutputWriter() {
  if (system_->writer_thread != nullptr) ::CloseHandle(system_->writer_thread);
}

int OutputWriter::Write(std::string_view data) {
  System& s = *system_;
  {
    std::lock_guard lock(s.mutex);
    if (s.writer_thread == nullptr) {
      ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &s.writer_thread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    }
  }
  std::size_t done = 0;
  while (done < data.size()) {
    if (s.interrupted) return kInterrupted;
    const std::size_t left = data.size() - done;
    const DWORD chunk = left > 0x10000000 ? 0x10000000u : static_cast<DWORD>(left);
    DWORD wrote = 0;
    if (!::WriteFile(s.handle, data.data() + done, chunk, &wrote, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_OPERATION_ABORTED) {
        if (s.interrupted) return kInterrupted;
        continue;  // someone else's cancel: the write goes on
      }
      return win32::ErrnoFromError(error);
    }
    done += wrote;
  }
  return 0;
}

void OutputWriter::Interrupt() {
  System& s = *system_;
  s.interrupted = true;
  std::lock_guard lock(s.mutex);
  if (s.writer_thread != nullptr) ::CancelSynchronousIo(s.writer_thread);
}

}  // namespace ql::cli
