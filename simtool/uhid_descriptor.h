#pragma once
// What quelloader-sim tells the kernel about the device it creates: the
// identity and the report descriptor of a vendor-defined HID interface with
// 64-byte input and output reports and no report IDs, like the bootloader's.

#include <array>
#include <cstdint>
#include <string_view>

namespace ql {

// pid.codes' vendor ID and its product ID reserved for tests: no real
// product answers to it, so the simulated device cannot be mistaken for one.
inline constexpr std::uint16_t kSimVendorId = 0x1209;
inline constexpr std::uint16_t kSimProductId = 0x0001;
inline constexpr std::string_view kSimName = "USB HID Bootloader";

inline constexpr std::array<std::uint8_t, 29> kBootloaderReportDescriptor = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor-defined 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x19, 0x01,        //   Usage Minimum (1)
    0x29, 0x40,        //   Usage Maximum (64)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8 bits)
    0x95, 0x40,        //   Report Count (64)
    0x81, 0x02,        //   Input (data, variable, absolute)
    0x19, 0x01,        //   Usage Minimum (1)
    0x29, 0x40,        //   Usage Maximum (64)
    0x91, 0x02,        //   Output (data, variable, absolute)
    0xC0,              // End Collection
};

}  // namespace ql
