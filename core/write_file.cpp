#include "core/write_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ql {

int WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

int WriteFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return errno;
  const int error = WriteAll(fd, bytes);
  if (::close(fd) != 0 && error == 0) return errno;
  return error;
}

std::string WriteFailureText(std::string_view path, int error) {
  return "cannot write \"" + std::string(path) + "\": " + std::strerror(error);
}

}  // namespace ql
