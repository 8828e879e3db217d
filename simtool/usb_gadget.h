#pragma once
// The simulated bootloader as a USB device: a configfs HID gadget on one of
// the machine's USB device controllers (a real device port, or dummy_hcd),
// served through its /dev/hidgN node. The host then sees a genuine USB
// device: idVendor, product and serial in sysfs, usbhid with interrupt
// endpoints, and the unplug of a board when the gadget leaves its UDC.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/event_loop.h"
#include "sim/model_driver.h"
#include "sim/simulated_bootloader.h"

namespace ql {

struct UsbGadgetIdentity {
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::string product;       // the product string hosts see
  std::string serial;        // "" for none
  std::string manufacturer;  // "" for none
};

// One gadget directory under configfs's usb_gadget/. `configfs` is where
// configfs is mounted (a plain folder in tests); `udc_class` lists the
// machine's USB device controllers.
class UsbGadget {
 public:
  UsbGadget(std::string configfs, std::string udc_class, std::string name, UsbGadgetIdentity identity);
  ~UsbGadget();  // unbinds and removes the gadget
  UsbGadget(const UsbGadget&) = delete;
  UsbGadget& operator=(const UsbGadget&) = delete;

  // Makes the gadget: device descriptor, strings, one configuration with one
  // HID function (64-byte reports without report IDs). False with the reason
  // and its remedy in `error`.
  bool Create(std::string* error);
  // Binds to `udc`, or with "" to the first controller that takes it (one
  // bound to another gadget refuses). The host sees the device plugged in.
  bool Bind(const std::string& udc, std::string* error);
  // Leaves the bus: the host sees the device unplugged. The gadget stays.
  void Unbind();
  // Unbinds and removes every directory Create made (once; also on destruction).
  void Remove();

  const std::string& udc() const { return udc_; }
  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }
  // The HID function's device node (/dev/hidgN) while bound, else "".
  std::string DeviceNode() const;

  // Removes gadgets a quelloader-sim that no longer runs left behind (killed
  // before it could clean up): they would hold their controller for ever.
  static void RemoveStale(const std::string& configfs);
  // The gadget name this process uses: "quelloader-sim.PID[.N]".
  static std::string NameForThisProcess();

 private:
  std::string configfs_;
  std::string udc_class_;
  std::string name_;
  std::string path_;
  UsbGadgetIdentity identity_;
  std::string udc_;
  bool created_ = false;
  bool bound_ = false;
};

// Drives the simulated bootloader's model from a /dev/hidgN descriptor:
// every output report the host sends goes to the model, its answers are
// written back as input reports at their times, and when the model leaves
// the bus (its reset, or an unplug fault) `on_leave` runs and whatever it
// still had to send is dropped.
class UsbGadgetBridge {
 public:
  UsbGadgetBridge(EventLoop& loop, sim::Config config);
  ~UsbGadgetBridge();
  UsbGadgetBridge(const UsbGadgetBridge&) = delete;
  UsbGadgetBridge& operator=(const UsbGadgetBridge&) = delete;

  std::function<void(std::string_view)> log;
  std::function<void(std::span<const std::uint8_t>)> on_report;
  std::function<void()> on_leave;

  // Serves `fd` (non-blocking, not owned) until Detach.
  void Attach(int fd);
  // Cancels every answer still scheduled or waiting for the host to take it.
  void Detach();
  // Reads and handles one output report. False when the descriptor is broken.
  bool OnReadable();
  // The board starts again in its bootloader, its flash kept.
  void ComeBack() { driver_.BeginSession(); }

  sim::SimulatedBootloader& model() { return driver_.model(); }
  // Input reports written to the host, and those still waiting for it.
  std::size_t reports_sent() const { return sent_; }
  std::size_t reports_queued() const { return queue_.size(); }

 private:
  void Handle(std::span<const std::uint8_t> data);
  void Send(std::vector<std::uint8_t> data);
  void Flush();

  EventLoop& loop_;
  sim::ModelDriver driver_;
  int fd_ = -1;
  std::size_t sent_ = 0;
  // Answers the gadget could not take yet: its IN endpoint holds one report
  // until the host polls it.
  std::vector<std::vector<std::uint8_t>> queue_;
  std::optional<TimerId> retry_;
  Micros retry_delay_ = 0;
};

struct UsbServeOptions {
  sim::Config config;
  UsbGadgetIdentity identity;
  std::string udc;                      // "" for the first free one
  std::optional<std::int64_t> come_back_ms;  // back in the bootloader after a reset
  std::string dump_flash;
  bool verbose = false;
  bool quiet = false;
  std::string configfs = "/sys/kernel/config";
  std::string udc_class = "/sys/class/udc";
};

// quelloader-sim --usb: serves the gadget until interrupted (SIGINT, SIGTERM,
// SIGHUP) or until the reset makes it leave the bus for good. The exit code.
int ServeUsbGadget(const UsbServeOptions& options);

}  // namespace ql
