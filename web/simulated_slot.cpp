#include "web/simulated_slot.h"

#include <utility>

namespace ql::web {

namespace {

constexpr Micros kLookEvery = from_ms(250);
constexpr Micros kComeBack = from_ms(2000);

}  // namespace

SimulatedSlot::SimulatedSlot(VirtualHidBackend& backend, EventLoop& loop, sim::Config config)
    : backend_(backend), loop_(loop), config_(std::move(config)) {
  Plug();
}

SimulatedSlot::~SimulatedSlot() {
  if (timer_ != 0) loop_.cancel(timer_);
}

std::vector<std::uint8_t> SimulatedSlot::Flash() const { return board_ ? board_->model().flash() : last_flash_; }

void SimulatedSlot::Plug() {
  board_ = std::make_unique<VirtualSimBootloader>(backend_, loop_, config_);
  Watch();
}

void SimulatedSlot::Watch() {
  timer_ = loop_.schedule_after(kLookEvery, [this] {
    timer_ = 0;
    if (board_ && !board_->attached()) {
      last_flash_ = board_->model().flash();
      board_.reset();
      timer_ = loop_.schedule_after(kComeBack, [this] {
        timer_ = 0;
        Plug();
      });
      return;
    }
    Watch();
  });
}

}  // namespace ql::web
