#pragma once
// The product string by which the bootloader is recognised on USB: the
// device link selects the HID device that carries it, the simulated
// bootloaders announce it, and the shipped udev rule matches it.

#include <string_view>

namespace ql {

inline constexpr std::string_view BootloaderProductName = "USB HID Bootloader";

}  // namespace ql
