// The blocking event loop's waiting on Linux: one ppoll() on an eventfd,
// which posted work writes, and the watched descriptors.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

#include "core/blocking_event_loop.h"

namespace ql {

class BlockingEventLoop::Waker {
 public:
  Waker() : fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (fd < 0) throw std::runtime_error("cannot create the event loop's wake-up descriptor");
  }
  ~Waker() { ::close(fd); }
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  const int fd;
};

BlockingEventLoop::BlockingEventLoop() : waker_(std::make_unique<Waker>()) {}

BlockingEventLoop::~BlockingEventLoop() = default;

void BlockingEventLoop::wake() {
  std::uint64_t one = 1;
  [[maybe_unused]] auto r = ::write(waker_->fd, &one, sizeof one);
}

bool BlockingEventLoop::poll_watches(Micros wait) {
  std::vector<pollfd> fds;
  std::vector<WatchId> ids;
  fds.push_back({waker_->fd, POLLIN, 0});
  for (const auto& [id, w] : watches_) {
    fds.push_back({w.fd, POLLIN, 0});
    ids.push_back(id);
  }
  timespec ts{static_cast<time_t>(wait / 1000000), static_cast<long>((wait % 1000000) * 1000)};
  const int n = ::ppoll(fds.data(), fds.size(), &ts, nullptr);
  if (n <= 0) return false;  // EINTR: the caller polls again
  bool ran = false;
  if (fds[0].revents & POLLIN) {
    std::uint64_t v;
    while (::read(waker_->fd, &v, sizeof v) > 0) {
    }
    ran = run_posted();
  }
  for (std::size_t i = 1; i < fds.size(); ++i) {
    if (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) {
      auto it = watches_.find(ids[i - 1]);
      if (it != watches_.end()) {
        auto fn = it->second.fn;  // a copy: the handler may unwatch itself
        fn();
        ran = true;
      }
    }
  }
  return ran;
}

EventLoop::WatchId BlockingEventLoop::watch_readable(int fd, std::function<void()> fn) {
  WatchId id = next_watch_++;
  watches_.emplace(id, Watch{fd, std::move(fn)});
  return id;
}

void BlockingEventLoop::unwatch(WatchId id) { watches_.erase(id); }

}  // namespace ql
