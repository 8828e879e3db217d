#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "hid/hid_backend.h"

namespace ql {

namespace {

// The writer thread and what it shares with the event thread. The state
// outlives the writer object when its thread is left behind in a write the
// device never takes: the thread ends with that write, alone.
class ThreadedWriter final : public HidWriter {
 public:
  ThreadedWriter(std::unique_ptr<HidHandle> handle, EventLoop& loop, HidWriterCallbacks callbacks)
      : shared_(std::make_shared<Shared>(std::move(handle), loop, std::move(callbacks))) {
    thread_ = std::thread([shared = shared_] { Run(shared); });
  }

  ~ThreadedWriter() override {
    std::unique_lock lock(shared_->mutex);
    // What is queued still goes out (the reset at the end of an upload), as
    // long as the device keeps taking reports.
    const auto limit = std::chrono::microseconds(kHidWriteTimeLimit);
    for (;;) {
      if (shared_->queue.empty() && !shared_->writing) break;
      auto left = limit;
      if (shared_->writing) {
        const auto since = std::chrono::steady_clock::now() - shared_->write_started;
        if (since >= limit) break;
        left = std::chrono::duration_cast<std::chrono::microseconds>(limit - since);
      }
      shared_->idle.wait_for(lock, left);
    }
    shared_->stop = true;
    shared_->owner_gone = true;
    shared_->queue.clear();
    const bool stuck = shared_->writing;
    lock.unlock();
    shared_->wake.notify_all();
    if (stuck) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
  ThreadedWriter(const ThreadedWriter&) = delete;
  ThreadedWriter& operator=(const ThreadedWriter&) = delete;

  void Submit(std::vector<std::uint8_t> report) override {
    {
      std::lock_guard lock(shared_->mutex);
      shared_->queue.push_back(std::move(report));
    }
    shared_->wake.notify_all();
  }

 private:
  struct Shared {
    Shared(std::unique_ptr<HidHandle> h, EventLoop& l, HidWriterCallbacks c)
        : handle(std::move(h)), loop(l), callbacks(std::move(c)) {}
    std::unique_ptr<HidHandle> handle;
    EventLoop& loop;
    HidWriterCallbacks callbacks;
    std::mutex mutex;
    std::condition_variable wake;  // work or stop for the thread
    std::condition_variable idle;  // a write ended, for the destructor
    std::deque<std::vector<std::uint8_t>> queue;
    bool writing = false;
    std::chrono::steady_clock::time_point write_started;
    bool stop = false;
    bool owner_gone = false;  // no more callbacks: the device is gone
  };

  static void Run(const std::shared_ptr<Shared>& shared) {
    Shared& s = *shared;
    std::unique_lock lock(s.mutex);
    for (;;) {
      s.wake.wait(lock, [&] { return s.stop || !s.queue.empty(); });
      if (s.queue.empty()) return;  // stopped with nothing left
      std::vector<std::uint8_t> report = std::move(s.queue.front());
      s.queue.pop_front();
      s.writing = true;
      s.write_started = std::chrono::steady_clock::now();
      lock.unlock();
      const bool ok = s.handle->Write(report);
      lock.lock();
      s.writing = false;
      s.idle.notify_all();
      if (s.owner_gone) return;
      s.loop.post([shared, ok] { Report(*shared, ok); });
    }
  }

  // Event thread: one report's end, unless the writer has gone meanwhile.
  static void Report(Shared& s, bool ok) {
    {
      std::lock_guard lock(s.mutex);
      if (s.owner_gone) return;
    }
    if (s.callbacks.on_written) s.callbacks.on_written(ok);
  }

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<HidWriter> StartThreadedWriter(std::unique_ptr<HidHandle> handle, EventLoop& loop,
                                               HidWriterCallbacks callbacks) {
  if (!handle || !handle->read_write()) return nullptr;
  return std::make_unique<ThreadedWriter>(std::move(handle), loop, std::move(callbacks));
}

std::unique_ptr<HidWriter> HidBackend::StartWriter(const HidInterfaceInfo& info, EventLoop& loop,
                                                   HidWriterCallbacks callbacks) {
  int error = 0;
  return StartThreadedWriter(Open(info, true, &error), loop, std::move(callbacks));
}

}  // namespace ql
