#include "hid/linux_hid_policy.h"

#include <cerrno>

#include "core/parse_number.h"

namespace ql {

std::optional<HidId> ParseHidId(std::string_view text) {
  // BUS:VENDOR:PRODUCT in hex, as the kernel writes it ("0003:000004D8:0000003C").
  std::uint16_t fields[3] = {};
  for (int i = 0; i < 3; ++i) {
    const std::size_t colon = i < 2 ? text.find(':') : text.size();
    if (colon == std::string_view::npos) return std::nullopt;
    const auto value = ParseHexDigits(text.substr(0, colon), 0xFFFF);
    if (!value) return std::nullopt;
    fields[i] = static_cast<std::uint16_t>(*value);
    text.remove_prefix(i < 2 ? colon + 1 : colon);
  }
  return HidId{fields[0], fields[1], fields[2]};
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
