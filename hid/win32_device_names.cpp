#include "hid/win32_device_names.h"

#include <algorithm>
#include <cerrno>

namespace ql {

namespace {

// Win32 error codes (winerror.h) that an open of a HID interface meets.
constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
constexpr std::uint32_t kErrorTooManyOpenFiles = 4;
constexpr std::uint32_t kErrorAccessDenied = 5;
constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotEnoughMemory = 8;
constexpr std::uint32_t kErrorOutOfMemory = 14;
constexpr std::uint32_t kErrorBadUnit = 20;
constexpr std::uint32_t kErrorNotReady = 21;
constexpr std::uint32_t kErrorSharingViolation = 32;
constexpr std::uint32_t kErrorLockViolation = 33;
constexpr std::uint32_t kErrorDevNotExist = 55;
constexpr std::uint32_t kErrorInvalidParameter = 87;
constexpr std::uint32_t kErrorInvalidName = 123;
constexpr std::uint32_t kErrorBusy = 170;
constexpr std::uint32_t kErrorNoSuchDevice = 433;
constexpr std::uint32_t kErrorDeviceNotConnected = 1167;
constexpr std::uint32_t kErrorDeviceRemoved = 1617;

// "NAME(digits)" → the number; std::nullopt for anything else.
std::optional<std::uint32_t> Numbered(std::string_view segment, std::string_view name) {
  if (segment.size() < name.size() + 3 || segment.substr(0, name.size()) != name || segment[name.size()] != '(' ||
      segment.back() != ')') {
    return std::nullopt;
  }
  const std::string_view digits = segment.substr(name.size() + 1, segment.size() - name.size() - 2);
  if (digits.size() > 5) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value;
}

}  // namespace

std::optional<std::string> PortOfLocationPath(std::string_view path) {
  std::vector<std::string_view> segments;
  for (std::size_t start = 0;;) {
    const std::size_t hash = path.find('#', start);
    segments.push_back(path.substr(start, hash == std::string_view::npos ? std::string_view::npos : hash - start));
    if (hash == std::string_view::npos) break;
    start = hash + 1;
  }
  const auto root = std::find_if(segments.begin(), segments.end(),
                                 [](std::string_view s) { return Numbered(s, "USBROOT").has_value(); });
  if (root == segments.end()) return std::nullopt;
  std::string port = std::to_string(*Numbered(*root, "USBROOT") + 1);
  char separator = '-';
  bool any = false;
  for (auto it = root + 1; it != segments.end(); ++it) {
    if (const auto number = Numbered(*it, "USB")) {
      if (*number == 0) return std::nullopt;  // ports count from 1
      port += separator;
      port += std::to_string(*number);
      separator = '.';
      any = true;
    } else if (it + 1 == segments.end() && Numbered(*it, "USBMI")) {
      break;  // a function of a composite device: its port is its device's
    } else {
      return std::nullopt;
    }
  }
  if (!any) return std::nullopt;  // the root hub itself
  return port;
}

std::string PortOfLocationPaths(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    if (auto port = PortOfLocationPath(path)) return *port;
  }
  return {};
}

std::vector<std::string> SplitStringList(std::u16string_view buffer) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < buffer.size()) {
    const std::size_t nul = std::min(buffer.find(u'\0', start), buffer.size());
    if (nul == start) break;  // the empty string that ends the list
    out.push_back(ToUtf8(buffer.substr(start, nul - start)));
    start = nul + 1;
  }
  return out;
}

std::u16string TextOfWideBuffer(std::u16string_view buffer) {
  return std::u16string(buffer.substr(0, std::min(buffer.find(u'\0'), buffer.size())));
}

std::vector<std::uint16_t> LanguageIdsOfBuffer(std::span<const std::uint16_t> buffer) {
  std::size_t length = buffer.size();
  while (length > 0 && buffer[length - 1] == 0xFFFF) --length;
  if (length > 0 && buffer[length - 1] == 0) --length;
  return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length)};
}

int ErrnoOfWin32Error(std::uint32_t error) {
  switch (error) {
    case kErrorAccessDenied:
      return EACCES;
    case kErrorSharingViolation:
    case kErrorLockViolation:
    case kErrorBusy:
      return EBUSY;
    case kErrorFileNotFound:
    case kErrorPathNotFound:
    case kErrorInvalidName:
      return ENOENT;
    case kErrorBadUnit:
    case kErrorNotReady:
    case kErrorDevNotExist:
    case kErrorNoSuchDevice:
    case kErrorDeviceNotConnected:
    case kErrorDeviceRemoved:
      return ENODEV;
    case kErrorTooManyOpenFiles:
      return EMFILE;
    case kErrorNotEnoughMemory:
    case kErrorOutOfMemory:
      return ENOMEM;
    case kErrorInvalidHandle:
      return EBADF;
    case kErrorInvalidParameter:
      return EINVAL;
    default:
      return EIO;
  }
}

std::string IdentityOfInterfacePath(std::string_view path) {
  std::string out(path);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::optional<HidChange> ChangeOfDeviceEvent(std::uint32_t event, std::string_view interface_path) {
  HidChange change;
  switch (event) {
    case kDbtDeviceArrival:
      // An interface that comes back under a path still listed (a removal
      // the list never saw) is looked at again.
      if (interface_path.empty()) {
        change.revisit_all = true;
      } else {
        change.revisit.insert(IdentityOfInterfacePath(interface_path));
      }
      return change;
    case kDbtDeviceRemoveComplete:
      return change;
    case kDbtDevNodesChanged:
      change.revisit_all = true;
      return change;
    default:
      return std::nullopt;
  }
}

std::vector<std::uint8_t> FitReport(std::span<const std::uint8_t> report, std::uint16_t length) {
  std::vector<std::uint8_t> out(report.begin(), report.end());
  if (length != 0) out.resize(length, 0);
  return out;
}

}  // namespace ql
