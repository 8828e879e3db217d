#include "hid/virtual_sim_device.h"

#include <utility>

namespace ql {

VirtualSimBootloader::VirtualSimBootloader(VirtualHidBackend& backend, EventLoop& loop,
                                           sim::Config config, VirtualHidSpec spec)
    : backend_(backend), loop_(loop), model_(std::move(config)) {
  id_ = backend_.Plug(std::move(spec),
                      [this](std::span<const std::uint8_t> report) { Receive(report); });
}

VirtualSimBootloader::~VirtualSimBootloader() {
  for (TimerId t : timers_) loop_.cancel(t);
  if (backend_.Attached(id_)) backend_.Unplug(id_);
}

void VirtualSimBootloader::Unplug() {
  if (backend_.Attached(id_)) backend_.Unplug(id_);
}

void VirtualSimBootloader::Receive(std::span<const std::uint8_t> report) {
  received_.emplace_back(report.begin(), report.end());
  for (sim::Output& out : model_.ReceiveReport(report, loop_.now())) {
    if (out.kind == sim::Output::Kind::Unplug) {
      timers_.push_back(loop_.schedule_at(out.at, [this] { Unplug(); }));
      continue;
    }
    std::vector<std::uint8_t> input;
    input.reserve(out.data.size() + 1);
    input.push_back(0);  // no report IDs
    input.insert(input.end(), out.data.begin(), out.data.end());
    timers_.push_back(loop_.schedule_at(out.at, [this, input = std::move(input)] {
      backend_.SendInput(id_, input);
    }));
  }
}

}  // namespace ql
