// The output channel's writes on Linux: poll() waits for the descriptor or
// for an eventfd that Interrupt() makes readable. The descriptor is not made
// non-blocking: its open file description is shared with the shell.
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "cli/output_writer.h"

namespace ql::cli {

const std::size_t OutputWriter::kChunk = PIPE_BUF;

struct OutputWriter::System {
  int fd = -1;
  int wake_fd = -1;
};

OutputWriter::OutputWriter(int fd) : system_(std::make_unique<System>()) {
  system_->fd = fd;
  system_->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (system_->wake_fd < 0) throw std::system_error(errno, std::generic_category(), "cannot create an output channel");
}

OutputWriter::~OutputWriter() { ::close(system_->wake_fd); }

int OutputWriter::Write(std::string_view data) {
  const int fd = system_->fd;
  std::size_t done = 0;
  while (done < data.size()) {
    pollfd p[2] = {{fd, POLLOUT, 0}, {system_->wake_fd, POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (p[1].revents & POLLIN) return kInterrupted;
    if (p[0].revents & POLLNVAL) return EBADF;
    if ((p[0].revents & (POLLOUT | POLLERR | POLLHUP)) == 0) continue;
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      // EAGAIN: someone else made the descriptor non-blocking; poll() waits.
      if (errno == EINTR || errno == EAGAIN) continue;
      return errno;
    }
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

void OutputWriter::Interrupt() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(system_->wake_fd, &one, sizeof one);
}

}  // namespace ql::cli
