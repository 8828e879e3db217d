// Device nodes and their permissions on Linux.
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>

#include "cli/device_select.h"

namespace ql::cli {

std::string CanonicalNode(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) return resolved;
  return path;
}

bool IsAccessError(int error) { return error == EACCES || error == EPERM; }

std::string AccessRemedy(int error) {
  if (error == EACCES) {
    return "Install the udev rule " + std::string(kUdevRule) +
           " (see the README, \"Device access\"), then unplug and re-attach the device.";
  }
  if (error == EPERM) {
    return "The system refuses this program the device whatever the node's permissions say "
           "(a sandbox, a container's device list or a security module); a udev rule cannot "
           "change that: allow the device there, or run the program outside it.";
  }
  return {};
}

std::string NoAccessText(int error) {
  std::string remedy = AccessRemedy(error);
  if (remedy.empty()) remedy = std::strerror(error);
  return "this user may not open the node: " + remedy;
}

}  // namespace ql::cli
