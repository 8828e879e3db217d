#include "hid/virtual_sim_device.h"

#include <utility>

namespace ql {

namespace {
// Far beyond any time-out: the report is never taken.
constexpr Micros kNeverTaken = from_ms(24LL * 3600 * 1000);
}  // namespace

VirtualSimBootloader::VirtualSimBootloader(VirtualHidBackend& backend, EventLoop& loop,
                                           sim::Config config, VirtualHidSpec spec)
    : backend_(backend), driver_(loop, std::move(config)) {
  driver_.KeepReceived(true);
  driver_.on_input = [this](std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> input;
    input.reserve(data.size() + 1);
    input.push_back(0);  // no report IDs
    input.insert(input.end(), data.begin(), data.end());
    backend_.SendInput(id_, input);
  };
  driver_.on_unplug = [this] {
    if (backend_.Attached(id_)) backend_.Unplug(id_);
  };
  if (driver_.model().deaf()) spec.write_delay = kNeverTaken;
  id_ = backend_.Plug(std::move(spec), [this](std::span<const std::uint8_t> report) {
    driver_.Receive(report);
    // A device that has stopped taking reports: its host's writes never end.
    if (driver_.model().deaf()) {
      backend_.Update(id_, [](VirtualHidSpec& s) { s.write_delay = kNeverTaken; });
    }
  });
}

VirtualSimBootloader::~VirtualSimBootloader() { Unplug(); }

void VirtualSimBootloader::Unplug() {
  driver_.Unplug();
  if (backend_.Attached(id_)) backend_.Unplug(id_);
}

}  // namespace ql
