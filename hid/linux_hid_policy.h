#pragma once
// The Linux backend's decisions, kept apart from libudev so that tests reach
// them: which bus takes the USB device's strings, what each udev action means
// for the device list, and what a failed read of the udev monitor calls for.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace ql {

inline constexpr std::uint16_t kHidBusUsb = 0x0003;
inline constexpr std::uint16_t kHidBusBluetooth = 0x0005;

// A HID device's HID_ID property, "BBBB:VVVVVVVV:PPPPPPPP" in hexadecimal.
struct HidId {
  std::uint16_t bus = 0;
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
};
std::optional<HidId> ParseHidId(std::string_view text);

// Where a hidraw node's product and serial strings come from: the USB device
// above it only when the HID device is on the USB bus (a Bluetooth device
// behind a USB adapter would otherwise take the adapter's name and serial);
// else the HID device's own name and unique ID.
enum class StringSource { UsbDevice, HidDevice };
StringSource ChooseStringSource(const std::optional<HidId>& id, bool has_usb_parent);

// What one udev event says about the node it names.
enum class UdevActionMeaning {
  // "add", "change", "bind", "move": the node may be new, or udev has
  // finished with it (rules run, permissions set) or changed it; a node
  // already listed is looked at again.
  Revisit,
  // Anything else ("remove", "unbind", ...): the list is rebuilt, which finds
  // what has gone.
  ListOnly,
};
UdevActionMeaning MeaningOfUdevAction(std::string_view action);

// Large enough for the events of a burst (udevadm trigger, a hub with many
// boards); the kernel caps it at what the user may ask for.
inline constexpr int kMonitorReceiveBufferBytes = 4 * 1024 * 1024;

// One drain of the udev monitor: every event received, and every failed
// receive, until the monitor has nothing more to give.
class MonitorDrain {
 public:
  void Event(std::string_view action, std::string_view syspath);
  // A receive that failed with `error`; returns whether to read on. An
  // overrun (ENOBUFS: the kernel dropped events that did not fit) means
  // nothing the monitor said can be trusted to be complete.
  bool Error(int error);

  // Whether the device list must be rebuilt.
  bool changed() const { return events_ > 0 || overrun_; }
  // Nodes to look at again (their access and strings), when not everything is.
  const std::set<std::string>& revisit() const { return revisit_; }
  // Events were lost: every node is looked at again.
  bool overrun() const { return overrun_; }

 private:
  int events_ = 0;
  bool overrun_ = false;
  std::set<std::string> revisit_;
};

}  // namespace ql
