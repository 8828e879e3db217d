// Devices that cannot be opened on Windows: no permissions to mend there,
// but the system's own devices and other programs' holds.
#include <cerrno>
#include <cstring>

#include "cli/device_select.h"

namespace ql::cli {

std::string CanonicalNode(const std::string& path) { return path; }

bool IsAccessError(int error) { return error == EACCES || error == EPERM; }

std::string AccessRemedy(int error) {
  if (error == EBUSY) {
    return "Another program holds the device and shares it with no one (another quelloader, "
           "a terminal program or a vendor's tool): close it, then try again.";
  }
  if (error == EACCES) {
    return "Windows lets no program open this device for reading and writing (as with keyboards "
           "and mice), or a security program keeps it: check that it is the bootloader.";
  }
  return {};
}

std::string NoAccessText(int error) {
  if (error == EBUSY) return "another program holds the device: close it, then try again";
  if (error == EACCES) return "Windows lets no program open the device for reading and writing";
  return std::string("the device cannot be opened: ") + std::strerror(error);
}

}  // namespace ql::cli
