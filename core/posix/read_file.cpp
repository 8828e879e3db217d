#include "core/read_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ql {

FileContent ReadRegularFile(const std::string& path, std::int64_t max_size) {
  // Links are followed first, and a node that is not a regular file is not
  // even opened (opening a device can have effects of its own).
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    return FileFailure(FileContent::Status::NotFound, S_ISDIR(st.st_mode) ? EISDIR : errno);
  }
  if (!S_ISREG(st.st_mode)) return FileFailure(FileContent::Status::NotRegular);
  if (st.st_size > max_size) return FileFailure(FileContent::Status::TooLarge);

  // O_NONBLOCK: should the path have been swapped for a FIFO since, opening
  // it does not wait for a writer; the check below then refuses it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return FileFailure(FileContent::Status::ReadError, errno);
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return FileFailure(FileContent::Status::NotRegular);
  }
  FileContent result = ReadToEnd(static_cast<std::size_t>(st.st_size), max_size, [fd](char* into, std::size_t room) {
    for (;;) {
      const ssize_t got = ::read(fd, into, room);
      if (got >= 0) return static_cast<long long>(got);
      if (errno != EINTR) return -static_cast<long long>(errno);
    }
  });
  ::close(fd);
  return result;
}

}  // namespace ql
