#include "hid/linux_hid_policy.h"

#include <cerrno>
#include <cstdio>

namespace ql {

std::optional<HidId> ParseHidId(std::string_view text) {
  const std::string copy(text);
  unsigned bus = 0, vendor = 0, product = 0;
  if (std::sscanf(copy.c_str(), "%x:%x:%x", &bus, &vendor, &product) != 3) return std::nullopt;
  return HidId{static_cast<std::uint16_t>(bus), static_cast<std::uint16_t>(vendor),
               static_cast<std::uint16_t>(product)};
}

StringSource ChooseStringSource(const std::optional<HidId>& id, bool has_usb_parent) {
  return has_usb_parent && id && id->bus == kHidBusUsb ? StringSource::UsbDevice
                                                       : StringSource::HidDevice;
}

UdevActionMeaning MeaningOfUdevAction(std::string_view action) {
  if (action == "add" || action == "change" || action == "bind" || action == "move") {
    return UdevActionMeaning::Revisit;
  }
  return UdevActionMeaning::ListOnly;
}

void MonitorDrain::Event(std::string_view action, std::string_view syspath) {
  ++events_;
  if (MeaningOfUdevAction(action) == UdevActionMeaning::Revisit && !syspath.empty()) {
    revisit_.insert(std::string(syspath));
  }
}

bool MonitorDrain::Error(int error) {
  if (error == ENOBUFS) {
    // What is still queued after the overrun is read on.
    overrun_ = true;
    return true;
  }
  return error == EINTR;
}

}  // namespace ql
