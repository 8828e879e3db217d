#pragma once
// The Windows backend's decisions, kept free of <windows.h> so that they
// build and are tested on every platform: the USB port a device's location
// paths name, the errno value of a Win32 error, how the text and language-ID
// buffers the HID class driver fills are read, and what a device-change
// message means for the device list.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hid/hid_backend.h"

namespace ql {

// The USB port in the kernel's form ("1-2.3": bus 1, port 2 of the root hub,
// port 3 of the hub there) that one location path names, as Windows writes
// them ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(3)"; the root hub
// USBROOT(n) is bus n + 1). A composite device's function ends in USBMI(n),
// which names no port. std::nullopt for a path that is not a USB device's.
std::optional<std::string> PortOfLocationPath(std::string_view path);

// The port of the first of a device's location paths that names one; "" when
// none does (a device on no USB port, such as a virtual one).
std::string PortOfLocationPaths(const std::vector<std::string>& paths);

// The strings of a string list property (each ended by a NUL, the list by an
// empty one), in UTF-8. A list the driver cut short without its last NULs
// still gives what it holds.
std::vector<std::string> SplitStringList(std::u16string_view buffer);

// The text of a string buffer the driver filled: up to the first NUL, or the
// whole buffer when the text fills it without one.
std::u16string TextOfWideBuffer(std::u16string_view buffer);

// The language-ID list in a buffer filled with 0xFFFF before the driver wrote
// string descriptor 0 into it: everything up to the last entry the driver
// wrote, without the 0 that may end it. Empty when the driver wrote nothing.
std::vector<std::uint16_t> LanguageIdsOfBuffer(std::span<const std::uint16_t> buffer);

// The errno value that tells the user what a failed open of a HID interface
// means: EACCES (Windows keeps the device to itself, as with keyboards and
// mice), EBUSY (another program holds it without sharing), ENOENT or ENODEV
// (it has gone), and EIO for anything else.
int ErrnoOfWin32Error(std::uint32_t error);

// The identity of an interface path: device-change messages spell the same
// path in other letter cases than enumeration does.
std::string IdentityOfInterfacePath(std::string_view path);

// Device-change events (the wParam of WM_DEVICECHANGE).
inline constexpr std::uint32_t kDbtDevNodesChanged = 0x0007;
inline constexpr std::uint32_t kDbtDeviceArrival = 0x8000;
inline constexpr std::uint32_t kDbtDeviceRemoveComplete = 0x8004;

// What a device-change event says about the list: an arrival names its
// interface (`interface_path`, "" when the message carries none), a removal
// calls for a rebuild, and a change of the device tree that names nothing
// has every listed interface looked at again. std::nullopt for the events
// that change nothing (queries, removals still pending).
std::optional<HidChange> ChangeOfDeviceEvent(std::uint32_t event, std::string_view interface_path);

// An output report made exactly `length` bytes long (padded with zeros or
// cut), as the driver takes only reports of the device's own length; as it
// is when `length` is 0 (unknown).
std::vector<std::uint8_t> FitReport(std::span<const std::uint8_t> report, std::uint16_t length);

}  // namespace ql
