#pragma once
// The items of the window's Device and MCU Type boxes, in the markup the
// boxes draw. Qt-free, so the device link's tests can check what the window
// would show.

#include <cstdint>
#include <string>
#include <string_view>

namespace ql {

// "" when the type stands for no family: the box stays empty.
inline std::string McuItem(std::uint8_t mcu_type) {
  switch (mcu_type) {
    case 1:
      return "<P align=\"center\">PIC16</P>";
    case 2:
      return "<P align=\"center\">PIC18</P>";
    default:
      return {};
  }
}

inline std::string DeviceItem(std::string_view boot_device_name) {
  if (boot_device_name.empty()) return {};
  return "<P align=\"center\">" + std::string(boot_device_name) + "</P>";
}

}  // namespace ql
