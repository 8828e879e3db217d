#include "app/qt/qt_event_loop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <utility>

namespace ql {

QtEventLoop::QtEventLoop() : context_(std::make_unique<QObject>()) {
  timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timer_fd_ < 0) throw std::runtime_error("cannot create the event loop's timer");
  timer_notifier_ = new QSocketNotifier(timer_fd_, QSocketNotifier::Read, context_.get());
  QObject::connect(timer_notifier_, &QSocketNotifier::activated, context_.get(), [this] {
    std::uint64_t expirations;
    while (::read(timer_fd_, &expirations, sizeof expirations) > 0) {
    }
    RunDueTimers();
  });
}

QtEventLoop::~QtEventLoop() {
  context_.reset();  // deletes the notifiers before their descriptors close
  ::close(timer_fd_);
}

Micros QtEventLoop::now() const {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<Micros>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void QtEventLoop::process_events(Micros deadline) {
  // A single-shot timer for the deadline makes WaitForMoreEvents return when
  // the deadline passes; without it the call could block for good.
  const Micros left = deadline - now();
  if (left <= 0) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return;
  }
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  wake.start(static_cast<int>(std::min<Micros>((left + 999) / 1000, 1 << 30)));
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

bool QtEventLoop::process_ready() {
  // The dispatcher says whether it handled anything; the timers run from
  // their descriptor, which it watches, and are also run here in case the
  // descriptor's notice has not come round yet.
  const std::uint64_t before = handled_;
  bool ran = false;
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
    ran = dispatcher->processEvents(QEventLoop::AllEvents);
  }
  if (timers_.Earliest() && *timers_.Earliest() <= now()) RunDueTimers();
  return ran || handled_ != before;
}

TimerId QtEventLoop::schedule_at(Micros at, std::function<void()> fn) {
  const TimerId id = timers_.Add(at, std::move(fn));
  Rearm();
  return id;
}

void QtEventLoop::cancel(TimerId id) {
  timers_.Cancel(id);
  Rearm();
}

void QtEventLoop::RunDueTimers() {
  if (timers_.RunDue(now())) ++handled_;
  Rearm();
}

void QtEventLoop::Rearm() {
  itimerspec spec{};
  if (!timers_.empty()) {
    // Absolute time on the same clock as now(); a time already past fires at
    // once, and zero would disarm, so the earliest value is 1 ns.
    const Micros at = std::max<Micros>(*timers_.Earliest(), 0);
    spec.it_value.tv_sec = static_cast<time_t>(at / 1000000);
    spec.it_value.tv_nsec = static_cast<long>((at % 1000000) * 1000);
    if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0) spec.it_value.tv_nsec = 1;
  }
  ::timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &spec, nullptr);
}

void QtEventLoop::post(std::function<void()> fn) {
  // Queued to the context's thread; safe from any thread (the HID readers).
  QMetaObject::invokeMethod(
      context_.get(),
      [this, fn = std::move(fn)] {
        ++handled_;
        fn();
      },
      Qt::QueuedConnection);
}

void QtEventLoop::sleep(Micros duration) {
  if (duration > 0) QThread::usleep(static_cast<unsigned long>(duration));
}

EventLoop::WatchId QtEventLoop::watch_readable(int fd, std::function<void()> fn) {
  const WatchId id = next_watch_++;
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, context_.get());
  QObject::connect(notifier, &QSocketNotifier::activated, context_.get(), [this, fn = std::move(fn)] {
    ++handled_;
    fn();
  });
  watches_[id] = notifier;
  return id;
}

void QtEventLoop::unwatch(WatchId id) {
  auto it = watches_.find(id);
  if (it == watches_.end()) return;
  it->second->setEnabled(false);
  it->second->deleteLater();
  watches_.erase(it);
}

}  // namespace ql
