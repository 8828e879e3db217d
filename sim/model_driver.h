#pragma once
// The simulated bootloader's model on an event loop. Whatever carries the
// reports (an in-process ReportDevice, the virtual HID backend, a /dev/uhid
// descriptor, a USB gadget's endpoint files) hands each output report to
// Receive() and gets the device's answers back through on_input, each at the
// time the model gives on the loop's clock, and its leaving the bus (reset,
// or an unplug fault) through on_unplug. Once the device has left the bus, or
// the driver is gone, nothing more is delivered: every pending answer is
// cancelled.

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "core/event_loop.h"
#include "sim/simulated_bootloader.h"

namespace ql::sim {

class ModelDriver {
 public:
  ModelDriver(EventLoop& loop, Config config);
  // Cancels every answer still pending.
  ~ModelDriver();
  ModelDriver(const ModelDriver&) = delete;
  ModelDriver& operator=(const ModelDriver&) = delete;

  // Each input report the device sends: 64 data bytes, no report ID.
  std::function<void(std::span<const std::uint8_t>)> on_input;
  // The device left the bus by itself (its reset, or an unplug fault).
  std::function<void()> on_unplug;
  // What the device receives and does, one line each; may be empty.
  std::function<void(std::string_view)> log;

  // One whole output report, report-ID byte first, sent now. False (and
  // nothing happens) once the device has left the bus.
  bool Receive(std::span<const std::uint8_t> report);

  // The device is taken off the bus from outside (pulled, or its transport
  // closed): the pending answers are cancelled; on_unplug is not called, the
  // caller being the one that unplugs.
  void Unplug();

  // The board starts again in its bootloader (a board whose program jumps
  // back after the reset): back on the bus, its flash kept.
  void BeginSession() {
    model_.BeginSession();
    present_ = true;
  }
  // Drops the answers still pending without leaving the bus (the transport
  // under it was closed and opened anew).
  void CancelAnswers() { CancelPending(); }

  bool present() const { return present_; }
  SimulatedBootloader& model() { return model_; }
  const SimulatedBootloader& model() const { return model_; }

  // Keeps every report given to Receive while present, whole (report ID
  // first). Off by default: a long-running device would only pile them up.
  void KeepReceived(bool keep) { keep_received_ = keep; }
  const std::vector<std::vector<std::uint8_t>>& received() const { return received_; }

 private:
  void Deliver(TimerId id, const Output& output);
  void CancelPending();
  void LogNewRecords();

  EventLoop& loop_;
  SimulatedBootloader model_;
  bool present_ = true;
  bool keep_received_ = false;
  std::vector<TimerId> pending_;
  std::vector<std::vector<std::uint8_t>> received_;
  std::size_t commands_logged_ = 0;
  std::size_t refused_logged_ = 0;
};

}  // namespace ql::sim
