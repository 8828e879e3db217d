#pragma once
// The simulated bootloader plugged into the virtual HID backend: output
// reports written to the virtual device go to the model, and its answers come
// back as input reports at the times the model gives, on the event loop. When
// the model leaves the bus (reset, or an unplug fault) the device is unplugged.

#include <memory>
#include <vector>

#include "core/event_loop.h"
#include "hid/virtual_hid_backend.h"
#include "sim/model_driver.h"
#include "sim/simulated_bootloader.h"

namespace ql {

class VirtualSimBootloader {
 public:
  VirtualSimBootloader(VirtualHidBackend& backend, EventLoop& loop, sim::Config config,
                       VirtualHidSpec spec = {});
  // Unplugs the device if it is still attached.
  ~VirtualSimBootloader();
  VirtualSimBootloader(const VirtualSimBootloader&) = delete;
  VirtualSimBootloader& operator=(const VirtualSimBootloader&) = delete;

  VirtualHidBackend::DeviceId id() const { return id_; }
  bool attached() const { return backend_.Attached(id_); }
  void Unplug();
  sim::SimulatedBootloader& model() { return driver_.model(); }
  // Output reports the model received, whole (report ID first).
  const std::vector<std::vector<std::uint8_t>>& received() const { return driver_.received(); }

 private:
  VirtualHidBackend& backend_;
  sim::ModelDriver driver_;
  VirtualHidBackend::DeviceId id_ = 0;
};

}  // namespace ql
