#include "web/browser_event_loop.h"

#include <utility>

namespace ql::web {

namespace {

// Marks a run of handlers: what they schedule is arranged once, at the end.
struct Running {
  explicit Running(int& depth) : depth_(depth) { ++depth_; }
  ~Running() { --depth_; }
  int& depth_;
};

}  // namespace

BrowserEventLoop::BrowserEventLoop() : BrowserEventLoop(MakePageLoopHost()) {}

BrowserEventLoop::BrowserEventLoop(std::unique_ptr<BrowserLoopHost> host) : host_(std::move(host)) {
  host_->Attach(this);
}

BrowserEventLoop::~BrowserEventLoop() {
  host_->Attach(nullptr);
  if (armed_at_) host_->CancelTimer();
}

bool BrowserEventLoop::RunReady() {
  bool ran = false;
  {
    Running running(running_);
    std::vector<std::function<void()>> batch;
    batch.swap(posted_);
    for (auto& fn : batch) fn();
    ran = !batch.empty();
    ran = timers_.RunDue(host_->Now()) || ran;
  }
  Arrange();
  return ran;
}

void BrowserEventLoop::process_events(Micros deadline) {
  if (RunReady()) return;
  if (deadline > host_->Now()) throw BlockingWaitError();
}

bool BrowserEventLoop::process_ready() { return RunReady(); }

TimerId BrowserEventLoop::schedule_at(Micros at, std::function<void()> fn) {
  const TimerId id = timers_.Add(at, std::move(fn));
  Arrange();
  return id;
}

void BrowserEventLoop::cancel(TimerId id) {
  timers_.Cancel(id);
  Arrange();
}

void BrowserEventLoop::post(std::function<void()> fn) {
  posted_.push_back(std::move(fn));
  Arrange();
}

void BrowserEventLoop::OnWake() {
  wake_requested_ = false;
  RunReady();
}

void BrowserEventLoop::OnTimer() {
  armed_at_.reset();
  RunReady();
}

void BrowserEventLoop::Arrange() {
  if (running_ > 0) return;
  const std::optional<Micros> earliest = timers_.Earliest();
  // Work ready now goes through the wake, never through a timer of delay 0.
  if (!posted_.empty() || (earliest && *earliest <= host_->Now())) {
    if (!wake_requested_) {
      wake_requested_ = true;
      host_->RequestWake();
    }
    return;
  }
  if (earliest) {
    if (armed_at_ != earliest) {
      armed_at_ = earliest;
      host_->ArmTimer(*earliest);
    }
  } else if (armed_at_) {
    armed_at_.reset();
    host_->CancelTimer();
  }
}

}  // namespace ql::web
