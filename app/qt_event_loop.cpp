#include "app/qt_event_loop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace ql {

QtEventLoop::QtEventLoop() : context_(std::make_unique<QObject>()) { clock_.start(); }

QtEventLoop::~QtEventLoop() = default;  // context_ deletes the timers and notifiers

Micros QtEventLoop::now() const { return clock_.nsecsElapsed() / 1000; }

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

TimerId QtEventLoop::schedule_at(Micros at, std::function<void()> fn) {
  const TimerId id = next_id_++;
  auto* timer = new QTimer(context_.get());
  timer->setSingleShot(true);
  timer->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer, &QTimer::timeout, context_.get(), [this, id, fn = std::move(fn)] {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    it->second->deleteLater();
    timers_.erase(it);
    fn();
  });
  timers_[id] = timer;
  const Micros left = std::max<Micros>(0, at - now());
  timer->start(static_cast<int>(std::min<Micros>((left + 999) / 1000, 1 << 30)));
  return id;
}

void QtEventLoop::cancel(TimerId id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->stop();
  it->second->deleteLater();
  timers_.erase(it);
}

void QtEventLoop::post(std::function<void()> fn) {
  // Queued to the context's thread; safe from any thread (the HID readers).
  QMetaObject::invokeMethod(context_.get(), std::move(fn), Qt::QueuedConnection);
}

void QtEventLoop::sleep(Micros duration) {
  if (duration > 0) QThread::usleep(static_cast<unsigned long>(duration));
}

EventLoop::WatchId QtEventLoop::watch_readable(int fd, std::function<void()> fn) {
  const WatchId id = next_watch_++;
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, context_.get());
  QObject::connect(notifier, &QSocketNotifier::activated, context_.get(), [fn = std::move(fn)] { fn(); });
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
