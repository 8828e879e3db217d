#include "core/blocking_event_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace ql {

BlockingEventLoop::BlockingEventLoop() {
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) throw std::runtime_error("cannot create the event loop's wake-up descriptor");
}

BlockingEventLoop::~BlockingEventLoop() {
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

Micros BlockingEventLoop::now() const {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool BlockingEventLoop::run_posted() {
  std::vector<std::function<void()>> batch;
  {
    std::lock_guard lock(posted_mutex_);
    batch.swap(posted_);
  }
  for (auto& fn : batch) fn();
  return !batch.empty();
}

void BlockingEventLoop::process_events(Micros deadline) {
  // Both run every time: due timers must not wait behind a steady stream of posts.
  const bool ran_posted = run_posted();
  const bool ran_timers = timers_.RunDue(now());
  if (ran_posted || ran_timers) return;

  Micros until = deadline;
  if (auto earliest = timers_.Earliest(); earliest && *earliest < until) until = *earliest;
  Micros wait = until - now();
  if (wait < 0) wait = 0;
  poll_watches(wait);
  run_posted();
  timers_.RunDue(now());
}

bool BlockingEventLoop::process_ready() {
  bool ran = run_posted();
  ran = timers_.RunDue(now()) || ran;
  ran = poll_watches(0) || ran;
  return ran;
}

bool BlockingEventLoop::poll_watches(Micros wait) {
  std::vector<pollfd> fds;
  std::vector<WatchId> ids;
  fds.push_back({wake_fd_, POLLIN, 0});
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
    while (::read(wake_fd_, &v, sizeof v) > 0) {
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

TimerId BlockingEventLoop::schedule_at(Micros at, std::function<void()> fn) {
  return timers_.Add(at, std::move(fn));
}

void BlockingEventLoop::cancel(TimerId id) { timers_.Cancel(id); }

void BlockingEventLoop::post(std::function<void()> fn) {
  {
    std::lock_guard lock(posted_mutex_);
    posted_.push_back(std::move(fn));
  }
  std::uint64_t one = 1;
  [[maybe_unused]] auto r = ::write(wake_fd_, &one, sizeof one);
}

void BlockingEventLoop::sleep(Micros duration) {
  std::this_thread::sleep_for(std::chrono::microseconds(duration));
}

EventLoop::WatchId BlockingEventLoop::watch_readable(int fd, std::function<void()> fn) {
  WatchId id = next_watch_++;
  watches_.emplace(id, Watch{fd, std::move(fn)});
  return id;
}

void BlockingEventLoop::unwatch(WatchId id) { watches_.erase(id); }

}  // namespace ql
