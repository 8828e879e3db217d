// The production log's file on Linux: one write(2) on a descriptor opened
// with O_APPEND is atomic against other processes' appends.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "cli/log_file.h"

namespace ql::cli {

namespace {

class AppendLock {
 public:
  explicit AppendLock(int fd) : fd_(fd) {
    for (;;) {
      if (::flock(fd_, LOCK_EX) == 0) {
        locked_ = true;
        return;
      }
      if (errno != EINTR) return;  // not lockable: the append goes on without
    }
  }
  ~AppendLock() {
    if (locked_) ::flock(fd_, LOCK_UN);
  }
  AppendLock(const AppendLock&) = delete;
  AppendLock& operator=(const AppendLock&) = delete;
  bool locked() const { return locked_; }

 private:
  int fd_;
  bool locked_ = false;
};

}  // namespace

std::optional<LogFile> LogFile::Open(const std::string& path, int& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = errno;
    return std::nullopt;
  }
  return LogFile(fd);
}

void LogFile::Close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

LogFile::Appended LogFile::Append(std::string_view line) {
  const int fd = static_cast<int>(handle_);
  const AppendLock lock(fd);
  struct stat before {};
  const bool sized = lock.locked() && ::fstat(fd, &before) == 0 && S_ISREG(before.st_mode);
  // One write takes the line whole; a file that takes only part of it is
  // asked for the rest, which either goes in (a write cut short) or says why
  // it cannot (the file-size limit, a full disk).
  Appended result;
  while (result.written < line.size()) {
    const ssize_t n = ::write(fd, line.data() + result.written, line.size() - result.written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      result.error = n < 0 ? errno : 0;
      break;
    }
    result.written += static_cast<std::size_t>(n);
  }
  // Under the lock no other writer can have appended since.
  if (result.written > 0 && result.written < line.size() && sized && ::ftruncate(fd, before.st_size) != 0) {
    result.cut_error = errno;
  }
  return result;
}

}  // namespace ql::cli
