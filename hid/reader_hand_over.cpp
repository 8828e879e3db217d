#include "hid/reader_hand_over.h"

#include <chrono>
#include <utility>

namespace ql {

std::shared_ptr<ReaderHandOver> ReaderHandOver::Make(EventLoop& loop, HidReaderCallbacks callbacks) {
  return std::make_shared<ReaderHandOver>(loop, std::move(callbacks));
}

bool ReaderHandOver::Report(std::vector<std::uint8_t> report) { return HandOver(Item{std::move(report), 0}); }

bool ReaderHandOver::Error(std::uint32_t error) { return HandOver(Item{{}, error}); }

bool ReaderHandOver::HandOver(Item item) {
  {
    std::lock_guard lock(mutex_);
    if (stop_) return false;
    pending_ = std::move(item);
  }
  loop_.post([self = shared_from_this()] { self->RunPending(); });
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return stop_ || !pending_; });
  return !stop_;
}

bool ReaderHandOver::Pause(int ms) {
  std::unique_lock lock(mutex_);
  return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
}

bool ReaderHandOver::Stopping() const {
  std::lock_guard lock(mutex_);
  return stop_;
}

void ReaderHandOver::SetHolding(bool on) {
  std::lock_guard lock(mutex_);
  holding_ = on;
}

bool ReaderHandOver::Holding() const {
  std::lock_guard lock(mutex_);
  return holding_ || pending_.has_value();
}

void ReaderHandOver::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cv_.notify_all();
  RunPending();
}

void ReaderHandOver::Close() {
  std::lock_guard lock(mutex_);
  pending_.reset();
  gone_ = true;
}

void ReaderHandOver::RunPending() {
  std::optional<Item> item;
  {
    std::lock_guard lock(mutex_);
    if (gone_) return;
    item = std::move(pending_);
    pending_.reset();
    holding_ = false;
  }
  if (item) {
    if (!item->report.empty()) {
      if (callbacks_.on_report) callbacks_.on_report(item->report);
    } else if (callbacks_.on_error) {
      callbacks_.on_error(item->error);
    }
  }
  { std::lock_guard lock(mutex_); }
  cv_.notify_all();
}

}  // namespace ql
