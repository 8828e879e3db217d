// The production log's file on Windows: every write goes to the end of file
// (an offset of all ones), which the system does atomically against other
// processes' appends, as Linux does for O_APPEND. The lock is one byte far
// beyond any end the file reaches: Windows's locks keep other programs from
// the bytes they cover, and readers of the log must not be kept from it.
#include <windows.h>

#include <cerrno>
#include <utility>

#include "cli/log_file.h"
#include "core/win32/windows_text.h"

namespace ql::cli {

namespace {

HANDLE HandleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

OVERLAPPED LockByte() {
  OVERLAPPED at{};
  at.Offset = 0xFFFFFFFE;
  at.OffsetHigh = 0x7FFFFFFF;
  return at;
}

class AppendLock {
 public:
  explicit AppendLock(HANDLE file) : file_(file) {
    OVERLAPPED at = LockByte();
    locked_ = ::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;  // else the append goes on without
  }
  ~AppendLock() {
    OVERLAPPED at = LockByte();
    if (locked_) ::UnlockFileEx(file_, 0, 1, 0, &at);
  }
  AppendLock(const AppendLock&) = delete;
  AppendLock& operator=(const AppendLock&) = delete;
  bool locked() const { return locked_; }

 private:
  HANDLE file_;
  bool locked_ = false;
};

int LastErrno() { return win32::ErrnoFromError(::GetLastError()); }

}  // namespace

std::optional<LogFile> LogFile::Open(const std::string& path, int& error) {
  const HANDLE file = ::CreateFileW(win32::Widen(path).c_str(), FILE_APPEND_DATA | FILE_WRITE_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = LastErrno();
    // A folder is refused as access denied: say what it is.
    const DWORD attributes = ::GetFileAttributesW(win32::Widen(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) error = EISDIR;
    return std::nullopt;
  }
  return LogFile(reinterpret_cast<std::intptr_t>(file));
}

void LogFile::Close() {
  if (handle_ != -1) ::CloseHandle(HandleOf(handle_));
  handle_ = -1;
}

LogFile::Appended LogFile::Append(std::string_view line) {
  const HANDLE file = HandleOf(handle_);
  const AppendLock lock(file);
  LARGE_INTEGER before{};
  const bool sized = lock.locked() && ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileSizeEx(file, &before);
  Appended result;
  while (result.written < line.size()) {
    OVERLAPPED at_end{};
    at_end.Offset = 0xFFFFFFFF;
    at_end.OffsetHigh = 0xFFFFFFFF;
    DWORD n = 0;
    const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(line.size() - result.written, 0x40000000));
    if (!::WriteFile(file, line.data() + result.written, ask, &n, &at_end)) {
      result.error = LastErrno();
      break;
    }
    if (n == 0) break;
    result.written += n;
  }
  if (result.written > 0 && result.written < line.size() && sized &&
      !(::SetFilePointerEx(file, before, nullptr, FILE_BEGIN) && ::SetEndOfFile(file))) {
    result.cut_error = LastErrno();
  }
  return result;
}

}  // namespace ql::cli
