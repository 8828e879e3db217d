#pragma once
// The simulated bootloader behind a /dev/uhid descriptor: creates the kernel
// HID device, hands every output report the kernel passes on to the model,
// sends the model's answers back as input reports at their times, and
// destroys the device when the model leaves the bus (its reset).

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_loop.h"
#include "sim/model_driver.h"
#include "sim/simulated_bootloader.h"

namespace ql {

struct UhidIdentity {
  std::string name;    // the product string hosts see
  std::string serial;  // "" for none
};

class UhidBridge {
 public:
  // `fd` is an open /dev/uhid (or a test's socket); not owned.
  UhidBridge(int fd, EventLoop& loop, sim::Config config, UhidIdentity identity);
  ~UhidBridge();
  UhidBridge(const UhidBridge&) = delete;
  UhidBridge& operator=(const UhidBridge&) = delete;

  // What the device receives and does, one line each; may be empty.
  std::function<void(std::string_view)> log;
  // Every whole output report too (for --verbose); may be empty.
  std::function<void(std::span<const std::uint8_t>)> on_report;

  // Writes UHID_CREATE2. False with the reason in `error`.
  bool Create(std::string* error);
  // Reads and handles one event from the descriptor. False when it is closed
  // or broken.
  bool OnReadable();
  // Writes UHID_DESTROY (once).
  void Destroy();
  // The device has left the bus (reset or an unplug fault) and was destroyed.
  bool finished() const { return finished_; }

  sim::SimulatedBootloader& model() { return driver_.model(); }

 private:
  void Output(std::span<const std::uint8_t> report);
  void Input(std::span<const std::uint8_t> data);
  bool WriteEvent(const void* event, std::size_t size);

  int fd_;
  sim::ModelDriver driver_;
  UhidIdentity identity_;
  bool created_ = false;
  bool finished_ = false;
};

}  // namespace ql
