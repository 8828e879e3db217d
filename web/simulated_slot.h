#pragma once
// The page's simulated board (?simulate=PRESET, the uploader's
// "simulate:PRESET"): the simulated bootloader on the virtual backend, which
// comes back in its bootloader two seconds after it has left the bus (the
// reset that ends every upload), as the desktop's --simulate board does, so
// that the workflow can be repeated. It comes back with the preset's erased
// flash; the flash it left with is kept for the page to look at.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "hid/virtual_sim_device.h"
#include "sim/simulated_bootloader.h"

namespace ql::web {

class SimulatedSlot {
 public:
  // Plugs the board in at once.
  SimulatedSlot(VirtualHidBackend& backend, EventLoop& loop, sim::Config config);
  ~SimulatedSlot();
  SimulatedSlot(const SimulatedSlot&) = delete;
  SimulatedSlot& operator=(const SimulatedSlot&) = delete;

  // The board's flash now, or as it was when it left the bus.
  std::vector<std::uint8_t> Flash() const;
  bool Attached() const { return board_ && board_->attached(); }

 private:
  void Plug();
  // Looks now and then whether the board has left the bus.
  void Watch();

  VirtualHidBackend& backend_;
  EventLoop& loop_;
  sim::Config config_;
  std::unique_ptr<VirtualSimBootloader> board_;
  std::vector<std::uint8_t> last_flash_;
  TimerId timer_ = 0;
};

}  // namespace ql::web
