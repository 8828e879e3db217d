#include "cli/output_channel.h"

#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "cli/output_writer.h"

namespace ql::cli {

namespace {

struct Entry {
  OutputKind kind = OutputKind::Keep;
  bool notice = false;  // stands for the pieces dropped since; its text is made when it is written
  std::string key;      // latest-only entries
  std::string text;
};

}  // namespace

struct OutputChannel::State {
  explicit State(int fd) : writer(fd) {}
  // Abandon() ends a write that waits for the descriptor to take more.
  OutputWriter writer;
  Options options;
  // Event thread only.
  std::function<void(int)> on_error;
  std::function<void()> on_drained;

  mutable std::mutex mutex;
  std::condition_variable cv;
  std::list<Entry> queue;
  std::unordered_map<std::string, std::list<Entry>::iterator> latest;
  std::size_t queued_bytes = 0;
  std::size_t ordinary_bytes = 0;
  std::size_t in_flight = 0;
  std::uint64_t dropped_total = 0;
  std::uint64_t dropped_since_notice = 0;
  bool notice_queued = false;
  int error = 0;
  bool closing = false;
  bool abandoned = false;
  bool drained_wanted = false;  // NotifyWhenDrained
  bool finish_wanted = false;   // Finish waits for the backlog to reach 0
  // Calls posted to the loop that have not run yet: Finish waits for them,
  // since what they do (a redraw, a line about the failure) may queue more.
  int posted = 0;
  // Null once the channel has let the writer go: nothing is posted after.
  EventLoop* loop = nullptr;

  bool Drained() const { return queue.empty() && in_flight == 0; }
  // Under the mutex: `fn` runs on the event thread, unless the channel has let go.
  void Post(const std::shared_ptr<State>& self, std::function<void(State&)> fn) {
    if (loop == nullptr) return;
    ++posted;
    loop->post([self, fn = std::move(fn)] {
      {
        std::lock_guard lock(self->mutex);
        --self->posted;
      }
      fn(*self);
    });
  }
  void Forget(std::list<Entry>::iterator it) {
    queued_bytes -= it->text.size();
    if (it->kind == OutputKind::Ordinary) ordinary_bytes -= it->text.size();
    if (!it->key.empty()) latest.erase(it->key);
    queue.erase(it);
  }
  void Clear() {
    queue.clear();
    latest.clear();
    queued_bytes = ordinary_bytes = 0;
  }
};

OutputChannel::OutputChannel(int fd, EventLoop& loop, Options options, std::function<void(int error)> on_error)
    : loop_(loop), state_(std::make_shared<State>(fd)) {
  state_->options = std::move(options);
  state_->on_error = std::move(on_error);
  state_->loop = &loop;
  thread_ = std::thread(Run, state_);
}

OutputChannel::~OutputChannel() {
  bool abandoned;
  {
    std::lock_guard lock(state_->mutex);
    state_->closing = true;
    abandoned = state_->abandoned;
    if (abandoned) state_->loop = nullptr;
  }
  state_->cv.notify_all();
  if (abandoned) {
    // It may be inside a write that waits for the reader: it ends by itself.
    thread_.detach();
  } else {
    thread_.join();
  }
  // Whatever the writer posted that has not run yet finds nothing to call.
  state_->on_error = nullptr;
  state_->on_drained = nullptr;
  std::lock_guard lock(state_->mutex);
  state_->loop = nullptr;
}

bool OutputChannel::Write(OutputKind kind, std::string text) {
  {
    std::unique_lock lock(state_->mutex);
    State& s = *state_;
    if (s.error != 0 || s.abandoned) return false;
    if (kind == OutputKind::Ordinary && s.ordinary_bytes + text.size() > s.options.ordinary_bound) {
      ++s.dropped_total;
      ++s.dropped_since_notice;
      if (!s.notice_queued && s.options.drop_notice) {
        // Where the first piece went missing; the count grows until it is written.
        s.queue.push_back({OutputKind::Keep, true, {}, {}});
        s.notice_queued = true;
        // The writer may be idle (a piece larger than the whole bound): the
        // notice alone is work for it.
        lock.unlock();
        state_->cv.notify_all();
      }
      return false;
    }
    s.queued_bytes += text.size();
    if (kind == OutputKind::Ordinary) s.ordinary_bytes += text.size();
    s.queue.push_back({kind, false, {}, std::move(text)});
  }
  state_->cv.notify_all();
  return true;
}

bool OutputChannel::WriteLatest(const std::string& key, std::string text) {
  {
    std::lock_guard lock(state_->mutex);
    State& s = *state_;
    if (s.error != 0 || s.abandoned) return false;
    if (const auto it = s.latest.find(key); it != s.latest.end()) s.Forget(it->second);
    s.queued_bytes += text.size();
    s.queue.push_back({OutputKind::Keep, false, key, std::move(text)});
    s.latest[key] = std::prev(s.queue.end());
  }
  state_->cv.notify_all();
  return true;
}

std::size_t OutputChannel::backlog() const {
  std::lock_guard lock(state_->mutex);
  // A notice waiting to be written counts: its text is made only then.
  return state_->queued_bytes + state_->in_flight + (state_->notice_queued ? 1 : 0);
}

int OutputChannel::error() const {
  std::lock_guard lock(state_->mutex);
  return state_->error;
}

std::uint64_t OutputChannel::dropped() const {
  std::lock_guard lock(state_->mutex);
  return state_->dropped_total;
}

void OutputChannel::NotifyWhenDrained(std::function<void()> fn) {
  state_->on_drained = std::move(fn);
  std::lock_guard lock(state_->mutex);
  State& s = *state_;
  s.drained_wanted = static_cast<bool>(s.on_drained);
  if (!s.drained_wanted || !s.Drained()) return;
  // Already drained: still through the loop, so the caller never runs it inside its own call.
  s.drained_wanted = false;
  s.Post(state_, [](State& st) {
    if (auto f = std::move(st.on_drained)) f();
  });
}

bool OutputChannel::Finish(const std::function<bool()>& abandon) {
  for (;;) {
    {
      std::lock_guard lock(state_->mutex);
      if (state_->abandoned) return false;
      if ((state_->error != 0 || state_->Drained()) && state_->posted == 0) return true;
      state_->finish_wanted = true;
    }
    if (abandon && abandon()) {
      Abandon();
      return false;
    }
    // The writer posts when the backlog reaches 0 or a write fails; a signal
    // comes through the loop too.
    loop_.process_events(loop_.now() + from_ms(60'000));
  }
}

void OutputChannel::Abandon() {
  {
    std::lock_guard lock(state_->mutex);
    state_->abandoned = true;
    state_->Clear();
  }
  state_->writer.Interrupt();
  state_->cv.notify_all();
}

void OutputChannel::Run(std::shared_ptr<State> state) {
  State& s = *state;
  std::unique_lock lock(s.mutex);
  for (;;) {
    s.cv.wait(lock, [&] { return !s.queue.empty() || s.closing || s.abandoned; });
    if (s.abandoned || s.queue.empty()) return;
    // Whole pieces, up to kChunk together (a longer one alone).
    std::string chunk;
    while (!s.queue.empty()) {
      Entry& e = s.queue.front();
      if (e.notice) {
        e.notice = false;
        e.text = s.options.drop_notice(s.dropped_since_notice);
        s.queued_bytes += e.text.size();
        s.dropped_since_notice = 0;
        s.notice_queued = false;
      }
      if (!chunk.empty() && chunk.size() + e.text.size() > OutputWriter::kChunk) break;
      chunk += e.text;
      s.Forget(s.queue.begin());
    }
    s.in_flight = chunk.size();
    lock.unlock();
    const int result = s.writer.Write(chunk);
    lock.lock();
    s.in_flight = 0;
    if (result == OutputWriter::kInterrupted || s.abandoned) return;
    if (result != 0) {
      // Nothing more goes out; the error is said once, on the event thread.
      s.error = result;
      s.Clear();
      s.cv.notify_all();
      s.Post(state, [result](State& st) {
        if (auto f = std::move(st.on_error)) f(result);
      });
      return;
    }
    if (s.Drained()) {
      s.cv.notify_all();
      if (s.drained_wanted || s.finish_wanted) {
        const bool notify = s.drained_wanted;
        s.drained_wanted = s.finish_wanted = false;
        s.Post(state, [notify](State& st) {
          if (!notify) return;  // only wakes Finish()
          if (auto f = std::move(st.on_drained)) f();
        });
      }
    }
  }
}

}  // namespace ql::cli
